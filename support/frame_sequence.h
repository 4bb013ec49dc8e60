// The sensor's frame sequence read from a frame's own data, where the sensor
// stamps it there, for talon-cam and the Python module: it says which sensor
// frame landed in which buffer and lets dropped frames be counted exactly.
//
// Which sensors stamp their frames is a property of the platform: the build
// links one definition of ReadFrameSequence into the library
// talon_frame_sequence, frame_sequence_none.cc for the device (no stamp
// known) or host/frame_sequence_sim.cc with the simulated IPU, whose test
// pattern carries one.
//
// Threading: a pure function of its arguments.

#ifndef SUPPORT_FRAME_SEQUENCE_H_
#define SUPPORT_FRAME_SEQUENCE_H_

#include <cstdint>

#include "system/capture/capture_types.h"

namespace talon_support {

// Reads the sequence stamped in `data` (rows of `stride` bytes of the stream
// `stream`) into `sequence`. False when the frame carries no stamp.
bool ReadFrameSequence(const void* data, uint64_t stride, const vireo::CaptureStreamConfig& stream,
                       uint32_t* sequence);

}  // namespace talon_support

#endif  // SUPPORT_FRAME_SEQUENCE_H_
