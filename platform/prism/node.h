// Transfer nodes: one end of a stream's transfer, either a MIPI input (the
// receiver, virtual channel and data type it selects) or a DRAM buffer, with
// the 4-dimensional shape and component format of the data it moves.
//
// Threading: a Node is immutable after creation; any thread may read it.
// Ownership: the registry owns a node while its handle lives; graphs and
// compiled graphs share it.

#ifndef PLATFORM_PRISM_NODE_H_
#define PLATFORM_PRISM_NODE_H_

#include <cstdint>
#include <string>

#include "platform/prism/runtime.h"

namespace prism_sim {

// Largest width or height a node may have.
constexpr uint64_t kMaxExtent = 65536;

// Bits per component of the record's component words (8, 10 or 16), or 0
// when the words name no format the device knows.
uint32_t ComponentBits(const OzyCreateTransferNodeInfo& info);

// OZY_SUCCESS, or OZY_ERROR_INVALID_REQUEST for a record the device cannot
// take.
OzyError CheckNodeInfo(const OzyCreateTransferNodeInfo& info);

// The record's key fields, for the trace.
std::string NodeInfoText(const OzyCreateTransferNodeInfo& info);

class Node : public Object {
 public:
  // `info` must have passed CheckNodeInfo.
  explicit Node(const OzyCreateTransferNodeInfo& info);

  const OzyCreateTransferNodeInfo& info() const { return info_; }
  bool is_mipi() const { return info_.use == OZY_PARAMETER_USE_MIPI_INPUT; }
  uint32_t width() const { return static_cast<uint32_t>(info_.dimensions[0].extent); }
  uint32_t height() const { return static_cast<uint32_t>(info_.dimensions[1].extent); }
  uint32_t bits() const { return bits_; }
  // Payload bytes of one row: ceil(width * bits / 8).
  uint64_t row_bytes() const;

 private:
  const OzyCreateTransferNodeInfo info_;
  const uint32_t bits_;
};

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_NODE_H_
