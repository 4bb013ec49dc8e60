#include "system/capture/held_buffers.h"

#include <unordered_map>

#include "base/logging.h"
#include "base/mutex.h"

namespace vireo {
namespace held_buffers {
namespace {

struct Registry {
  Mutex mutex;
  // A factory's buffer -> the worker holding it, or null.
  std::unordered_map<const CaptureFrameBufferImpl*, const void*> holders ABSL_GUARDED_BY(mutex);
};

// Never destroyed: buffers may outlive static destruction's order.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void AddFactoryBuffer(const CaptureFrameBufferImpl* frame_buffer) {
  Registry& registry = TheRegistry();
  MutexLock lock(&registry.mutex);
  registry.holders[frame_buffer] = nullptr;
}

void Forget(const CaptureFrameBufferImpl* frame_buffer) {
  Registry& registry = TheRegistry();
  const void* holder = nullptr;
  {
    MutexLock lock(&registry.mutex);
    auto it = registry.holders.find(frame_buffer);
    if (it == registry.holders.end()) return;
    holder = it->second;
    registry.holders.erase(it);
  }
  // The service would go on writing the buffer, and binding its device
  // buffers, after it is gone.
  CHECK(holder == nullptr) << "Frame buffer " << static_cast<const void*>(frame_buffer)
                           << " destroyed while a capture service holds it";
}

bool MadeByFactory(const CaptureFrameBufferImpl* frame_buffer) {
  Registry& registry = TheRegistry();
  MutexLock lock(&registry.mutex);
  return registry.holders.count(frame_buffer) != 0;
}

Hold TryHold(const CaptureFrameBufferImpl* frame_buffer, const void* holder) {
  Registry& registry = TheRegistry();
  MutexLock lock(&registry.mutex);
  auto it = registry.holders.find(frame_buffer);
  if (it == registry.holders.end()) return Hold::kNotFromFactory;
  if (it->second == holder) return Hold::kHeldByThis;
  if (it->second != nullptr) return Hold::kHeldByOther;
  it->second = holder;
  return Hold::kTaken;
}

void Release(const CaptureFrameBufferImpl* frame_buffer) {
  Registry& registry = TheRegistry();
  MutexLock lock(&registry.mutex);
  auto it = registry.holders.find(frame_buffer);
  if (it != registry.holders.end()) it->second = nullptr;
}

}  // namespace held_buffers
}  // namespace vireo
