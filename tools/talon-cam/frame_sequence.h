// The sensor's frame sequence read from a frame's own data, where the sensor
// stamps it there. It lets talon-cam print which sensor frame landed in which
// buffer and count dropped frames exactly.
//
// Which sensors stamp their frames is a property of the platform: the build
// links one definition of ReadFrameSequence, frame_sequence_none.cc for the
// device (no stamp known) or host/talon_cam_frame_sequence.cc with the
// simulated IPU, whose test pattern carries one.
//
// Threading: a pure function of its arguments.

#ifndef TOOLS_TALON_CAM_FRAME_SEQUENCE_H_
#define TOOLS_TALON_CAM_FRAME_SEQUENCE_H_

#include <cstdint>

#include "system/capture/capture_types.h"

namespace talon_cam {

// Reads the sequence stamped in `data` (rows of `stride` bytes of the stream
// `stream`) into `sequence`. False when the frame carries no stamp.
bool ReadFrameSequence(const void* data, uint64_t stride,
                       const vireo::CaptureStreamConfig& stream, uint32_t* sequence);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_FRAME_SEQUENCE_H_
