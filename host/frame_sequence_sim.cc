// Host build of talon_frame_sequence: the simulated IPU's test pattern
// carries the sensor's frame sequence, read back with the simulator's own
// decoder.
#include "platform/prism/prism_sim.h"
#include "support/frame_sequence.h"

namespace talon_support {

bool ReadFrameSequence(const void* data, uint64_t stride, const vireo::CaptureStreamConfig& stream,
                       uint32_t* sequence) {
  return PrismSimDecodeFrameSequence(data, stride, stream.width, stream.height,
                                     stream.bits_per_component, sequence) == 0;
}

}  // namespace talon_support
