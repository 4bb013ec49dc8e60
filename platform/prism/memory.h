// Simulated device memory: the ION-style allocator and managed device
// buffers (64-byte aligned, exactly the requested size).
//
// Threading: a buffer's lock flag is atomic; its bytes are written by a run
// only while the CPU does not hold it locked, and read or written by the CPU
// only while it does (the client's side of the contract).
// Ownership: the registry owns a buffer while its handle lives; a bound run
// keeps it alive until the run ends.

#ifndef PLATFORM_PRISM_MEMORY_H_
#define PLATFORM_PRISM_MEMORY_H_

#include <atomic>
#include <cstdint>

#include "platform/prism/runtime.h"

namespace prism_sim {

class MemoryAllocator : public Object {
 public:
  explicit MemoryAllocator(int32_t kind) : Object("OzyMemoryAllocator"), kind_(kind) {}
  int32_t kind() const { return kind_; }

 private:
  int32_t kind_;
};

class DeviceBuffer : public Object {
 public:
  // Allocates `size` bytes at `alignment`; data() is null when that failed.
  DeviceBuffer(uint64_t size, uint64_t alignment);
  ~DeviceBuffer() override;

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  bool locked() const { return locked_.load(); }
  void set_locked(bool locked) { locked_.store(locked); }

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_;
  std::atomic<bool> locked_{false};
};

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_MEMORY_H_
