// The device build: no sensor stamp is known, talon-cam counts dropped frames
// from the start-of-frame times alone.
#include "tools/talon-cam/frame_sequence.h"

namespace talon_cam {

bool ReadFrameSequence(const void*, uint64_t, const vireo::CaptureStreamConfig&, uint32_t*) {
  return false;
}

}  // namespace talon_cam
