// The compiled-graph file: its byte format and its atomic write and bounded
// read.
//
// Format (little-endian):
//   8 bytes  magic "PRSMGRPH"
//   u32      version (1)
//   u32      node count (2..6)
//   per node: i32 use, 4 x u64 extents, 4 x i32 component words,
//             u32 name length (1..255), the name's bytes
//   u64      FNV-1a 64 of every byte before it
//
// Threading: pure functions and plain file calls; no shared state.

#ifndef PLATFORM_PRISM_GRAPH_FILE_H_
#define PLATFORM_PRISM_GRAPH_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "system/ipu_runtime/prism.h"

namespace prism_sim {

constexpr size_t kMaxGraphFileBytes = 64 * 1024;
constexpr uint32_t kMaxNameBytes = 255;

// What a saved graph holds of one node: its structure and its name. The MIPI
// selectors are not saved; they come from the nodes a load binds.
struct SavedNode {
  int32_t use = 0;
  uint64_t extents[4] = {};
  int32_t components[4] = {};  // kind, layout, code, packed
  std::string name;
};

uint64_t Fnv1a64(const uint8_t* data, size_t size);

std::string EncodeGraphFile(const std::vector<SavedNode>& nodes);
// OZY_SUCCESS, or OZY_ERROR_GENERIC when `bytes` is not a whole, intact
// graph file of this version.
OzyError DecodeGraphFile(const std::string& bytes, std::vector<SavedNode>* nodes);

// Writes `bytes` to directory/name through a temporary file in the same
// directory (fsync, rename), so the final name only ever holds a whole file.
// OZY_ERROR_RESOURCE_NOT_FOUND when the directory is missing,
// OZY_ERROR_GENERIC for any other failure.
OzyError WriteFileAtomically(const std::string& directory, const std::string& name,
                             const std::string& bytes);

// Reads a whole file of at most `max_bytes`. OZY_ERROR_RESOURCE_NOT_FOUND when
// it is missing, OZY_ERROR_GENERIC when it is unreadable or too large.
OzyError ReadSmallFile(const std::string& path, size_t max_bytes, std::string* bytes);

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_GRAPH_FILE_H_
