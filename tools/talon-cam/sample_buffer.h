// Memory for a frame's unpacked samples (the DNG writer's), which a caller
// writing frame after frame keeps. It lies in huge pages where the system
// has them and is never cleared (the unpacker writes every sample): a
// frame's worth of fresh 4 kB pages costs a page fault per page when first
// written and, on a system whose page translations are dear, a translation
// miss per page when the file's write reads it again.
//
// Used by one thread at a time; owns its memory.

#ifndef TOOLS_TALON_CAM_SAMPLE_BUFFER_H_
#define TOOLS_TALON_CAM_SAMPLE_BUFFER_H_

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace talon_cam {

class SampleBuffer {
 public:
  // Room for `count` samples (the memory is kept, and grows when needed);
  // null when the system has no memory for them.
  uint16_t* Reserve(uint64_t count);

 private:
  struct Free {
    void operator()(uint16_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint16_t, Free> data_;
  uint64_t capacity_ = 0;  // samples
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_SAMPLE_BUFFER_H_
