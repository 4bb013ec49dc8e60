// The simulated IPU device: the MIPI streams it was opened for, the sensor
// timeline that paces its runs, and the jobs whose runs a reset ends.
//
// Sensor timeline: frame k starts (SOF) at epoch + k * period and ends (EOF)
// a readout of 0.8 periods later; a run takes the first frame that starts
// after it was enqueued and after the previous run's frame. With no period
// (unthrottled) a frame starts at once, or when the previous one ended, and
// lasts 1 us.
//
// Threading: every member may be called from any thread. Lock order: a job's
// mutex before the device's; Reset takes no job mutex while holding its own.
// Ownership: the registry owns the device while its handle lives; compiled
// graphs (and through them jobs) share it. The device refers to its jobs
// weakly, so deleting the device first never keeps a job alive or dangling.

#ifndef PLATFORM_PRISM_DEVICE_H_
#define PLATFORM_PRISM_DEVICE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/boottime.h"
#include "base/mutex.h"
#include "platform/prism/runtime.h"

namespace prism_sim {

class Job;

using vireo::BoottimeNs;

// The sensor frame a run captures.
struct Frame {
  uint32_t sequence = 0;
  int64_t sof_ns = 0;
  int64_t eof_ns = 0;
};

class Device : public Object {
 public:
  // `streams`: the MIPI stream numbers (4 * receiver + index); `fps` 0 means
  // unthrottled.
  // `skip_after`, `skip_count`: the planted gap (PrismSimSetFrameSkip).
  Device(std::vector<int32_t> streams, double fps, uint32_t skip_after = 0,
         uint32_t skip_count = 0);

  // True when the device has a stream on MIPI receiver `rx`.
  bool HasReceiver(int32_t rx) const;

  // The frame of a run enqueued at `now_ns` (CLOCK_BOOTTIME).
  Frame NextFrame(int64_t now_ns);

  void AddJob(const std::shared_ptr<Job>& job);
  // Ends every run of every job of the device whose frame has not ended yet.
  void Reset();

 private:
  int64_t SofOf(int64_t k) const;

  const std::vector<int32_t> streams_;
  const int64_t epoch_ns_;
  const double period_ns_;  // 0: unthrottled
  const uint32_t skip_after_;
  const uint32_t skip_count_;

  vireo::Mutex mutex_;
  int64_t last_k_ ABSL_GUARDED_BY(mutex_) = 0;       // throttled: frame of the last run
  int64_t last_eof_ns_ ABSL_GUARDED_BY(mutex_) = 0;  // unthrottled
  uint32_t counter_ ABSL_GUARDED_BY(mutex_) = 0;     // unthrottled sequence
  uint64_t runs_ ABSL_GUARDED_BY(mutex_) = 0;        // frames handed to runs
  std::vector<std::weak_ptr<Job>> jobs_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_DEVICE_H_
