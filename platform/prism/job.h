// Jobs and their runs: the buffers bound for the next run, the runs queued
// on the device (at most two), the wait for the oldest of them, and the
// monitored transfer events.
//
// A run captures one sensor frame (see Device); it completes at the frame's
// EOF. The wait that stands for it writes the frame into its DRAM buffers and
// its event times into the monitored status records before it returns; a
// wait that fails abandons its run, which then writes nothing.
//
// Threading: one client thread at a time finalizes, enqueues and waits;
// EndRuns (a reset, an unload, a deletion) may come from any thread and
// wakes a wait under way. All state is guarded by `mutex_`. Lock order: the
// job's mutex before its device's (Enqueue takes the run's frame from the
// device).
// Ownership: the registry owns a job while its handle lives; a call under way
// keeps it alive. The job shares its compiled graph (and through it the
// device and the nodes); a run shares the device buffers bound to it, so a
// buffer deleted meanwhile is never written after it is freed.

#ifndef PLATFORM_PRISM_JOB_H_
#define PLATFORM_PRISM_JOB_H_

#include <array>
#include <cstdint>
#include <memory>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/prism/device.h"
#include "platform/prism/graph.h"
#include "platform/prism/memory.h"
#include "platform/prism/runtime.h"

namespace prism_sim {

class Job : public Object {
 public:
  static constexpr int kMaxOutstanding = 2;
  static constexpr int kMaxStreams = 3;
  static constexpr int kMaxMonitors = 6;

  explicit Job(std::shared_ptr<CompiledGraph> graph);

  const std::shared_ptr<CompiledGraph>& graph() const { return graph_; }

  OzyError SetMonitor(const void* node, OzyTransferEventStatus* status);
  OzyError LoadConfig();
  // Ends the outstanding runs and unloads the configuration.
  OzyError UnloadConfig();
  OzyError Finalize(const OzyFinalizeBufferInfo* infos, int32_t count);
  // OZY_ERROR_OVERFLOW when two runs are already outstanding.
  OzyError Enqueue();
  OzyError Wait(uint64_t timeout_ns);
  // Abandons the oldest outstanding run, if any (an injected wait failure).
  void AbandonOldest();
  // Ends every outstanding run whose frame has not ended yet; their waits
  // return OZY_ERROR_CANCELLED.
  void EndRuns();

 private:
  struct Binding {
    std::shared_ptr<DeviceBuffer> buffer;
    uint64_t stride = 0;
  };
  struct Run {
    Frame frame;
    std::array<Binding, kMaxStreams> buffers;
    bool ended = false;
  };
  struct Monitor {
    int node = -1;
    OzyTransferEventStatus* status = nullptr;
  };

  void PopOldest() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void WriteFrame(const Run& run) const;

  const std::shared_ptr<CompiledGraph> graph_;

  vireo::Mutex mutex_;
  // Signalled by EndRuns; Wait waits on it for the oldest run's frame to end
  // (a deadline at its EOF) or for the run to be ended.
  vireo::CondVar cv_{&mutex_};
  bool loaded_ ABSL_GUARDED_BY(mutex_) = false;
  bool bound_ ABSL_GUARDED_BY(mutex_) = false;
  std::array<Binding, kMaxStreams> bindings_ ABSL_GUARDED_BY(mutex_);
  std::array<Monitor, kMaxMonitors> monitors_ ABSL_GUARDED_BY(mutex_);
  std::array<Run, kMaxOutstanding> runs_ ABSL_GUARDED_BY(mutex_);
  int head_ ABSL_GUARDED_BY(mutex_) = 0;   // oldest outstanding run
  int count_ ABSL_GUARDED_BY(mutex_) = 0;  // outstanding runs
};

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_JOB_H_
