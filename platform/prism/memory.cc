#include "platform/prism/memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace prism_sim {

DeviceBuffer::DeviceBuffer(uint64_t size, uint64_t alignment)
    : Object("OzyDeviceBuffer"), size_(size) {
  // A frame-sized buffer lies in huge pages where the system has them, as a
  // device's contiguous frame memory is mapped: with 4 kB pages, a client
  // that cycles through many frame buffers pays a translation miss per page.
  constexpr uint64_t kHugePage = uint64_t{2} << 20;
  const bool huge = size >= kHugePage;
  if (huge) alignment = std::max(alignment, kHugePage);
  void* p = nullptr;
  // posix_memalign takes any size, so an overrun past `size` is visible to
  // the address sanitizer.
  if (posix_memalign(&p, alignment, size == 0 ? 1 : size) == 0) {
    if (huge) madvise(p, size / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint
    data_ = static_cast<uint8_t*>(p);
    std::memset(data_, 0, size == 0 ? 1 : size);
  }
}

DeviceBuffer::~DeviceBuffer() { std::free(data_); }

}  // namespace prism_sim

using prism_sim::Call;
using prism_sim::DeviceBuffer;
using prism_sim::MemoryAllocator;
using prism_sim::Runtime;

extern "C" {

OzyError OzyGetMemoryAllocator(int32_t kind, OzyMemoryAllocator** allocator) {
  Call call("OzyGetMemoryAllocator");
  call.Arg(kind);
  if (allocator == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  if (kind != OZY_MEMORY_ALLOCATOR_ION) return call.Return(OZY_ERROR_RESOURCE_NOT_FOUND);
  auto object = std::make_shared<MemoryAllocator>(kind);
  *allocator = reinterpret_cast<OzyMemoryAllocator*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*allocator);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteMemoryAllocator(OzyMemoryAllocator* allocator) {
  Call call("OzyDeleteMemoryAllocator");
  call.Arg(allocator);
  if (auto e = call.Injected()) return call.Return(*e);
  // Buffers made by the allocator stay valid: each is an allocation of its own.
  if (Runtime::Get().Unregister<MemoryAllocator>(allocator) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  return call.Return(OZY_SUCCESS);
}

OzyError OzyCreateDeviceBufferManaged(OzyMemoryAllocator* allocator, uint64_t size_bytes,
                                      uint64_t alignment, uint32_t flags, uint32_t heap,
                                      OzyDeviceBuffer** buffer) {
  Call call("OzyCreateDeviceBufferManaged");
  call.Arg(allocator).Arg(size_bytes).Arg(alignment).Arg(flags).Arg(heap);
  if (buffer == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  if (Runtime::Get().Find<MemoryAllocator>(allocator) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  if (alignment < 64 || (alignment & (alignment - 1)) != 0 || flags != 0 || heap != 0) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  if (size_bytes > (uint64_t{1} << 32)) return call.Return(OZY_ERROR_NO_MEM);
  auto object = std::make_shared<DeviceBuffer>(size_bytes, alignment);
  if (object->data() == nullptr) return call.Return(OZY_ERROR_NO_MEM);
  *buffer = reinterpret_cast<OzyDeviceBuffer*>(object.get());
  Runtime::Get().Register(std::move(object));
  call.Out(*buffer);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyDeleteDeviceBuffer(OzyDeviceBuffer* buffer) {
  Call call("OzyDeleteDeviceBuffer");
  call.Arg(buffer);
  if (auto e = call.Injected()) return call.Return(*e);
  if (Runtime::Get().Unregister<DeviceBuffer>(buffer) == nullptr) {
    return call.Return(OZY_ERROR_INVALID_REQUEST);
  }
  return call.Return(OZY_SUCCESS);
}

OzyError OzyLockDeviceBuffer(OzyDeviceBuffer* buffer, void** data) {
  Call call("OzyLockDeviceBuffer");
  call.Arg(buffer);
  if (data == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<DeviceBuffer>(buffer);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  object->set_locked(true);
  *data = object->data();
  call.Out(*data);
  return call.Return(OZY_SUCCESS);
}

OzyError OzyUnlockDeviceBuffer(OzyDeviceBuffer* buffer) {
  Call call("OzyUnlockDeviceBuffer");
  call.Arg(buffer);
  if (auto e = call.Injected()) return call.Return(*e);
  auto object = Runtime::Get().Find<DeviceBuffer>(buffer);
  if (object == nullptr) return call.Return(OZY_ERROR_INVALID_REQUEST);
  object->set_locked(false);  // unlocking an unlocked buffer succeeds too
  return call.Return(OZY_SUCCESS);
}

}  // extern "C"
