// The behaviour of the IPU runtime (libprism) that libtalon relies on, as a
// table of named properties, each checked by one member function through the
// runtime's C interface alone. The runtime records are built by libtalon's
// own helpers, so the runtime sees exactly what a capture service sends it.
//
// The properties run in table order and build on each other, following two
// capture services one after the other. The first compiles the graph, saves
// it, captures and is paused and released: device, buffers, nodes, graph,
// compile, save, job, runs-in-order, event-times, bound-buffers, wait-empty,
// reset-cancels. The second finds the saved graph and captures with it
// (reload). Then everything goes (delete). A property whose inputs an
// earlier one failed to make is skipped, naming what it lacks: only the
// failure itself counts as one. Every property is called, so the release
// always happens. A property that this runtime gives no chance to
// show (a reset cannot fall inside a frame when frames are there at once) is
// skipped with the reason.
//
// Waits follow the runtime's frame rate: until runs-in-order has seen two
// frames, a wait is bounded by the configuration's timeout_ms; from then on
// by three measured frame periods and half a second for the host, unless the
// timeout is fixed. A runtime whose frames are complete by the time a run's
// enqueue returns (no sensor pacing) may report a start of frame before the
// enqueue.
//
// Threading: one thread calls the checks. reset-cancels starts and joins a
// thread of its own for the wait that the reset interrupts.
// RemoveTempDir may be called from any thread.
// Ownership: the object holds every runtime handle it makes until it deletes
// it, and a private temporary directory (the saved compiled graph) that the
// destructor removes.

#ifndef TOOLS_TALON_PRISM_CHECK_PRISM_CHECK_H_
#define TOOLS_TALON_PRISM_CHECK_PRISM_CHECK_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_types.h"
#include "system/ipu_runtime/prism.h"

namespace talon_prism_check {

class PrismCheck {
 public:
  // A check returns an empty string when the property holds, else what it saw.
  using Check = std::string (PrismCheck::*)();
  struct Property {
    const char* name;
    Check check;
  };

  // What one property came to: held (empty text), failed or skipped, with
  // what was seen or why it could not run.
  struct Outcome {
    enum class Kind { kOk, kFail, kSkip };
    Kind kind;
    std::string text;
  };

  // Every property, in the order in which they must run.
  static const std::vector<Property>& Properties();

  // `config` holds one stream. Its timeout_ms bounds every wait until the
  // frame period is known, or every wait when `fixed_timeout` is set.
  PrismCheck(const vireo::CaptureConfig& config, bool fixed_timeout);
  ~PrismCheck();
  PrismCheck(const PrismCheck&) = delete;
  PrismCheck& operator=(const PrismCheck&) = delete;

  // Runs one property of Properties(), in their order.
  Outcome RunProperty(const Property& property);

  // The bound of the next wait for a frame, in milliseconds.
  uint64_t WaitBoundMs() const { return wait_bound_ns_ / 1000000; }

  // Removes the temporary directory and what it holds.
  void RemoveTempDir() const;

 private:
  // A's, B's or C's bytes against the canary they were filled with.
  enum class Contents { kCanary, kChanged, kUnreadable };

  // The IPU objects of one capture service.
  struct Pipeline {
    OzyDevice* device = nullptr;
    vireo::ozy::TransferNodes nodes;  // MIPI input nodes, then DRAM nodes
    OzyGraph* graph = nullptr;        // none after a reload
    OzyCompiledGraph* compiled = nullptr;
    OzyJob* job = nullptr;
    bool config_loaded = false;
  };

  // One run of a job, as the client saw it (CLOCK_BOOTTIME ns).
  struct Run {
    OzyError enqueue_result = OZY_ERROR_GENERIC;
    OzyError wait_result = OZY_ERROR_GENERIC;
    int64_t enqueued_ns = 0;          // just before OzyEnqueueJob
    int64_t enqueue_returned_ns = 0;  // just after it
    int64_t returned_ns = 0;          // just after the wait returned
    int64_t sof_ns = 0;               // the status records after the wait
    int64_t eof_ns = 0;
  };

  // The properties.
  std::string Device();
  std::string Buffers();
  std::string Nodes();
  std::string Graph();
  std::string Compile();
  std::string Save();
  std::string Job();
  std::string RunsInOrder();
  std::string EventTimes();
  std::string BoundBuffers();
  std::string WaitEmpty();
  std::string ResetCancels();
  std::string Reload();
  std::string Delete();

  // Skips the property that calls it, which lacks `missing` (made by an
  // earlier property that failed); returns the reason.
  std::string NotRun(const char* missing);
  // One try of reset-cancels: sets *conclusive to false when the frame of
  // the interrupted wait ended before the reset returned.
  std::string ResetDuringWait(int64_t margin_ns, bool* conclusive);
  // Deletes the pipeline's objects as the capture service does; what failed.
  static std::vector<std::string> Release(Pipeline* pipeline);
  // Binds `buffer` as the stream's DRAM buffer for the job's next run.
  vireo::CaptureError Bind(OzyDeviceBuffer* buffer, Pipeline* pipeline);
  // Fills the buffer with the canary; empty, or what failed.
  std::string Fill(OzyDeviceBuffer* buffer);
  Contents Inspect(OzyDeviceBuffer* buffer);
  static const char* Describe(Contents contents);
  // Enqueues one run and records when.
  void Enqueue(OzyJob* job, Run* run);
  // Waits for the oldest run and records the result, when and the records.
  void Wait(OzyJob* job, Run* run);
  // The frame period and the wait bound from runs-in-order's two runs.
  void MeasureFramePeriod();

  const vireo::CaptureConfig config_;
  const vireo::CaptureStreamConfig stream_;
  const bool fixed_timeout_;
  // The waits' bound and what runs-in-order measured; set before the reset's
  // waiter thread starts, which reads the bound.
  uint64_t wait_bound_ns_;
  int64_t frame_period_ns_ = -1;       // -1 until measured
  bool frames_there_at_once_ = false;  // both runs' frames ended during their enqueue
  std::string skip_reason_;            // set by a property that cannot run
  std::vector<uint8_t> canary_;        // a frame's worth of bytes no sensor sends
  std::string temp_dir_;               // empty when it could not be made
  std::string temp_dir_error_;

  OzyMemoryAllocator* allocator_ = nullptr;
  std::array<OzyDeviceBuffer*, 3> buffers_{};  // A, B, C
  Pipeline first_;                             // compiles and saves the graph
  Pipeline second_;                            // reloads it
  OzyTransferEventStatus sof_status_{};        // monitored in first_'s job
  OzyTransferEventStatus eof_status_{};
  std::vector<std::string> release_failures_;  // of first_, for delete

  // What runs-in-order saw, for event-times and bound-buffers.
  bool runs_done_ = false;
  std::array<Run, 2> runs_;
  Contents a_at_first_wait_ = Contents::kUnreadable;
  Contents a_at_second_wait_ = Contents::kUnreadable;  // refilled in between
  Contents b_at_second_wait_ = Contents::kUnreadable;
  Contents c_at_second_wait_ = Contents::kUnreadable;  // bound first, never enqueued
};

}  // namespace talon_prism_check

#endif  // TOOLS_TALON_PRISM_CHECK_PRISM_CHECK_H_
