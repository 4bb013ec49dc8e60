#include "bench/wait_probe.h"

#include <utility>

#include "absl/base/thread_annotations.h"
#include "absl/synchronization/mutex.h"
#include "support/frame_stats.h"
#include "system/ipu_runtime/prism.h"

namespace talon_bench {
namespace {

class Probe {
 public:
  void Start(uint64_t expected) {
    absl::MutexLock lock(&mutex_);
    records_ = WaitProbeRecords();
    records_.success_return_ns.reserve(expected);
  }
  void Record(OzyError result, int64_t return_ns) {
    absl::MutexLock lock(&mutex_);
    ++records_.calls;
    if (result == OZY_SUCCESS) records_.success_return_ns.push_back(return_ns);
  }
  WaitProbeRecords Take() {
    absl::MutexLock lock(&mutex_);
    return std::exchange(records_, WaitProbeRecords());
  }

 private:
  absl::Mutex mutex_;
  WaitProbeRecords records_ ABSL_GUARDED_BY(mutex_);
};

Probe& TheProbe() {
  static Probe* probe = new Probe();  // used by worker threads until exit
  return *probe;
}

}  // namespace

void StartWaitProbe(uint64_t expected) { TheProbe().Start(expected); }

WaitProbeRecords TakeWaitProbe() { return TheProbe().Take(); }

}  // namespace talon_bench

// The linker's names for the runtime's function (__real_) and for what the
// library calls instead (__wrap_) under --wrap=OzyWaitForCompletionWithTimeout.
extern "C" {
OzyError __real_OzyWaitForCompletionWithTimeout(OzyJob* job, uint64_t timeout_ns);

OzyError __wrap_OzyWaitForCompletionWithTimeout(OzyJob* job, uint64_t timeout_ns) {
  const OzyError result = __real_OzyWaitForCompletionWithTimeout(job, timeout_ns);
  talon_bench::TheProbe().Record(result, talon_support::BoottimeNs());
  return result;
}
}
