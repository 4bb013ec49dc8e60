// The device build: no sensor stamp is known; clients count dropped frames
// from the start-of-frame times alone.
#include "support/frame_sequence.h"

namespace talon_support {

bool ReadFrameSequence(const void*, uint64_t, const vireo::CaptureStreamConfig&, uint32_t*) {
  return false;
}

}  // namespace talon_support
