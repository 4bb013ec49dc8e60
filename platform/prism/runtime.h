// The simulated runtime's shared machinery: configuration from the
// environment, failpoints, the call trace and the registry of live handles.
//
// Every runtime function starts a Call, which checks the failpoints and
// collects the arguments for the trace, and ends with Call::Return.
//
// Threading: Runtime is a process-wide singleton; all of it is thread-safe.
// Ownership: the registry holds the objects behind live handles; an object may
// outlive its handle while another object (a run, a job) still refers to it.

#ifndef PLATFORM_PRISM_RUNTIME_H_
#define PLATFORM_PRISM_RUNTIME_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"

namespace prism_sim {

// Base of every object behind a handle.
class Object {
 public:
  explicit Object(const char* kind) : kind_(kind) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  const char* kind() const { return kind_; }

 private:
  const char* kind_;
};

struct Failpoint {
  std::string function;
  OzyError error;
  uint64_t nth;  // 0: every call
};

// Parses PRISM_SIM_FAIL syntax; nullopt when an entry is malformed.
std::optional<std::vector<Failpoint>> ParseFailpoints(const std::string& settings);

class Runtime {
 public:
  static Runtime& Get();

  // Failpoints. Returns the injected error of this call of `function`.
  std::optional<OzyError> NextFailure(const char* function);
  bool SetFailpoints(const std::string& settings);

  // Trace.
  bool tracing() const { return tracing_.load(std::memory_order_relaxed); }
  void Trace(const std::string& line);
  bool SetTrace(const std::string& target);
  void SetTraceSink(PrismSimTraceSink sink, void* context);

  // Registry of live handles.
  void Register(std::shared_ptr<Object> object);
  // The object behind `handle` when it is live and of type T, else null.
  template <typename T>
  std::shared_ptr<T> Find(const void* handle) {
    if (handle == nullptr) return nullptr;
    vireo::MutexLock lock(&registry_mutex_);
    auto it = registry_.find(handle);
    if (it == registry_.end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second);
  }
  // Removes `handle` when it is live and of type T; returns the object.
  template <typename T>
  std::shared_ptr<T> Unregister(const void* handle) {
    if (handle == nullptr) return nullptr;
    vireo::MutexLock lock(&registry_mutex_);
    auto it = registry_.find(handle);
    if (it == registry_.end()) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(it->second);
    if (typed != nullptr) registry_.erase(it);
    return typed;
  }
  size_t LiveHandleCount();
  std::string LiveHandleReport();

  // Sensor frame rate; 0 means unthrottled.
  double fps() const { return fps_.load(); }
  void set_fps(double fps) { fps_.store(fps); }
  // The planted gap of devices created from now on (PRISM_SIM_SKIP).
  struct Skip {
    uint32_t after = 0;
    uint32_t count = 0;
  };
  Skip skip() const {
    vireo::MutexLock lock(&skip_mutex_);
    return skip_;
  }
  void set_skip(Skip skip) {
    vireo::MutexLock lock(&skip_mutex_);
    skip_ = skip;
  }

  std::atomic<uint64_t> locked_buffer_writes{0};

 private:
  Runtime();

  // Three independent locks, each guarding the members below it and never
  // held together. The trace sink is called with trace_mutex_ held, so trace
  // lines reach it one at a time and in order.
  vireo::Mutex fail_mutex_;
  std::atomic<bool> has_failpoints_{false};
  std::vector<Failpoint> failpoints_ ABSL_GUARDED_BY(fail_mutex_);
  std::map<std::string, uint64_t> call_counts_ ABSL_GUARDED_BY(fail_mutex_);

  vireo::Mutex trace_mutex_;
  std::atomic<bool> tracing_{false};
  FILE* trace_file_ ABSL_GUARDED_BY(trace_mutex_) = nullptr;
  bool trace_owned_ ABSL_GUARDED_BY(trace_mutex_) = false;
  PrismSimTraceSink trace_sink_ ABSL_GUARDED_BY(trace_mutex_) = nullptr;
  void* trace_sink_context_ ABSL_GUARDED_BY(trace_mutex_) = nullptr;

  vireo::Mutex registry_mutex_;
  std::unordered_map<const void*, std::shared_ptr<Object>> registry_
      ABSL_GUARDED_BY(registry_mutex_);

  std::atomic<double> fps_{30.0};
  mutable vireo::Mutex skip_mutex_;
  Skip skip_ ABSL_GUARDED_BY(skip_mutex_);
};

// One runtime call: checks its failpoint and writes its trace line.
//
//   Call call("OzyLockDeviceBuffer");
//   call.Arg(buffer);
//   if (auto e = call.Injected()) return call.Return(*e);
//   ...
//   call.Out(*data);
//   return call.Return(OZY_SUCCESS);
class Call {
 public:
  explicit Call(const char* function);

  // The failure injected into this call, if any.
  std::optional<OzyError> Injected() const { return injected_; }

  Call& Arg(const void* pointer);
  Call& Arg(int64_t value);
  Call& Arg(uint64_t value);
  Call& Arg(int32_t value) { return Arg(static_cast<int64_t>(value)); }
  Call& Arg(uint32_t value) { return Arg(static_cast<uint64_t>(value)); }
  Call& Str(const char* text);
  // Free-form text, e.g. a record's fields.
  Call& Raw(const std::string& text);
  // An output argument: printed as "->value".
  Call& Out(const void* pointer);

  bool tracing() const { return tracing_; }
  OzyError Return(OzyError result);

 private:
  void Separator();

  const char* function_;
  bool tracing_;
  std::optional<OzyError> injected_;
  std::string args_;
  bool first_ = true;
};

std::string PointerText(const void* pointer);

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_RUNTIME_H_
