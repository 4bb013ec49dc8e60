#include "tools/talon-cam/sample_buffer.h"

#include <sys/mman.h>

namespace talon_cam {

uint16_t* SampleBuffer::Reserve(uint64_t count) {
  if (count <= capacity_) return data_.get();
  constexpr uint64_t kHugePage = uint64_t{2} << 20;
  const uint64_t bytes = count * sizeof(uint16_t);
  data_.reset();
  capacity_ = 0;
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint
  data_.reset(static_cast<uint16_t*>(p));
  capacity_ = count;
  return data_.get();
}

}  // namespace talon_cam
