// The component widths a capture stream may have (8, 10 or 16 bits per
// component) and the component words a transfer node record carries for
// each. libtalon's transfer-graph helpers write node records from this table;
// the test pipeline builder (testing/ipu_pipeline.h) writes the same records
// from it.
//
// Internal to libtalon (not installed); header-only constant data, free of
// libtalon's symbols, so that the simulator's tests and the fuzzers can use
// it without linking the library. No state; usable from any thread.

#ifndef SYSTEM_CAPTURE_CAPTURE_COMPONENT_FORMAT_H_
#define SYSTEM_CAPTURE_CAPTURE_COMPONENT_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "system/capture/capture_types.h"

namespace vireo {
namespace ozy {

struct ComponentFormat {
  uint32_t bits;   // bits per component
  int32_t kind;    // OzyCreateTransferNodeInfo::component_kind
  int32_t layout;  // component_layout
  int32_t code;    // component_code of a node that keeps the stream's width
  int32_t packed;  // component_packed
};

inline constexpr ComponentFormat kComponentFormats[] = {
    {8, 1, 1, 0, 0},
    {10, 3, 8, 3, 1},
    {16, 3, 3, 0, 0},
};

// The entry for `bits`, or null when a stream of that width cannot be
// captured.
constexpr const ComponentFormat* FindComponentFormat(uint32_t bits) {
  for (const ComponentFormat& format : kComponentFormats) {
    if (format.bits == bits) return &format;
  }
  return nullptr;
}

// The table has exactly the widths the public header promises, in its order.
constexpr bool MatchesPublicComponentBits() {
  if (std::size(kComponentFormats) != std::size(kCaptureComponentBits)) return false;
  for (size_t i = 0; i < std::size(kComponentFormats); ++i) {
    if (kComponentFormats[i].bits != kCaptureComponentBits[i]) return false;
  }
  return true;
}
static_assert(MatchesPublicComponentBits(), "kComponentFormats and kCaptureComponentBits differ");

}  // namespace ozy
}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_COMPONENT_FORMAT_H_
