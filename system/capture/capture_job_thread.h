// The background worker of the DRAM capture service.
//
// It owns two queues of frame buffers: `pending_queue_`, handed in and not
// captured yet (its head is always the next buffer to complete, including the
// one or two whose job is on the IPU), and `completed_queue_`, captured and
// not taken back yet. The worker binds the head buffer's device buffers to the
// single IPU job, enqueues the job, waits for it, records status, error and
// timestamps in the buffer and moves it to the completed queue. With two
// buffers pending it submits the second before it waits for the first (double
// buffering), so the IPU already holds the next frame's run when the current
// one completes.
//
// Threading:
// - client threads, any number: EnqueueRequest, DequeueCompletedRequest,
//   TryDequeueCompletedRequest, ClearPendingRequests;
// - the owner (never the worker): Start, Finish, MarkIpuReleased,
//   destruction, one at a time; destruction stops the worker and then waits
//   until every client call under way (those that Finish released) has left
//   this object before it frees anything;
// - the worker thread: Run and its helpers (AwaitPendingBuffers,
//   DrainSubmitted, EnqueueIpuCapture, WaitIpuCapture, PostIpuCapture).
// Locks and condition variables (base/mutex.h; the analysis checks them):
// - ipu_mutex_ guards no data: it makes one cycle's job submissions
//   (FinalizeBuffers and OzyEnqueueJob for one or two buffers) and the device
//   reset of Finish exclude each other, so that no job is submitted after
//   the reset; EnqueueIpuCapture runs under it;
// - pending_mutex_ guards pending_queue_ and worker_active_;
// - completed_mutex_ guards completed_queue_, stop_generation_ and
//   blocked_clients_;
// - calls_mutex_ guards calls_in_progress_; calls_done_cv_ (with it) is
//   signalled when the last client call leaves, and the destructor waits on
//   it. It is never held together with another lock of this class;
// - pending_cv_ (with pending_mutex_): signalled by the enqueues and by
//   Finish; the worker waits on it for buffers to capture;
// - completed_cv_ (with completed_mutex_): signalled by PostIpuCapture and by
//   Finish; clients wait on it in the dequeues for a completed buffer, a
//   stop, or (TryDequeueCompletedRequest) their deadline.
// Lock order (declared on the members): completed_mutex_ before
// pending_mutex_, in PostIpuCapture and the destructor, the only places
// that hold two of these locks.
// ipu_mutex_ is never held together with another of them. The runtime's and
// the log's own locks are taken under ipu_mutex_ (the submissions, their
// error lines, the reset); they never call back into this class. No lock is
// held while the worker waits for the IPU, and PostIpuCapture signals after
// releasing both of its locks.
//
// Ownership: builds no IPU object. The device, job, transfer nodes and the two
// event-status records belong to the capture service, which outlives this
// object. The queues hold the client's frame buffers without owning them.

#ifndef SYSTEM_CAPTURE_CAPTURE_JOB_THREAD_H_
#define SYSTEM_CAPTURE_CAPTURE_JOB_THREAD_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/export.h"
#include "base/mutex.h"
#include "system/capture/capture_frame_buffer_impl.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/ipu_runtime/prism.h"

namespace vireo {

// held_buffers.h, internal to libtalon.
namespace held_buffers {
enum class Hold : int;
}  // namespace held_buffers

// The worker behind a DramCaptureService: two queues of frame buffers and the
// thread that captures the head of the pending one. Its cycle, threads, locks
// and lock order: the top of capture_job_thread.h.
class TALON_EXPORT CaptureJobThread {
 public:
  // Keeps pointers to the service's IPU objects, which must outlive this
  // object: the device, the job, the transfer nodes with their per-run buffer
  // bindings, and the start-of-frame and end-of-frame event records that the
  // runtime fills after each run. `timeout_ms` bounds the wait for a frame and
  // for the next buffer. Starts nothing: the worker runs from Start.
  CaptureJobThread(OzyDevice* device, OzyJob* job, ozy::TransferNodes* transfer_nodes,
                   OzyTransferEventStatus* sof_status, OzyTransferEventStatus* eof_status,
                   uint32_t timeout_ms);
  // Stops the worker (Finish), waits for the client calls under way to
  // leave, and forgets what the queues still hold, giving those buffers back
  // (their hold is released; nothing else changes).
  ~CaptureJobThread();
  CaptureJobThread(const CaptureJobThread&) = delete;
  CaptureJobThread& operator=(const CaptureJobThread&) = delete;

  // The service's streams, whose shape every frame buffer must have before
  // it is bound: the same data types, and for each the same row stride and
  // rows in a device buffer of that size. A buffer without one of the data
  // types comes back COMPLETED with DATA_TYPE_NOT_FOUND, one of another
  // shape with INVALID_BUFFER; neither is bound. Owner only, before the
  // first Start; not exported. Without it only a missing data type is
  // caught (by the binding itself).
  __attribute__((visibility("hidden"))) void SetStreams(
      const std::vector<CaptureStreamConfig>& streams);

  // Loads the job's device configuration and starts the worker. A failed
  // load is fatal; a thread the system refuses throws std::system_error.
  // Does nothing (with a WARNING) while the worker runs.
  void Start();

  // Stops the worker: resets the device, wakes every waiter, drains the
  // submitted buffers into the completed queue, joins the worker and unloads
  // the device configuration. Does nothing when already stopped.
  void Finish();

  // Appends a buffer to the pending queue, marks it ENQUEUED and holds it
  // (the buffer's holder is this worker until a dequeue, a clear or the
  // destructor gives it back).
  void EnqueueRequest(CaptureFrameBufferImpl* frame_buffer);

  // As EnqueueRequest for a factory's buffer that no worker holds (kTaken);
  // otherwise nothing changes, the refusal is logged and the result says
  // why. Taking the hold is one step, so of two workers offered one buffer
  // at once only one takes it. Not exported.
  __attribute__((visibility("hidden"))) held_buffers::Hold EnqueueRequestUnlessHeld(
      CaptureFrameBufferImpl* frame_buffer);

  // The oldest completed buffer; blocks while the worker runs and nothing is
  // completed; null once a stop is requested and nothing is completed. A
  // client blocked when a stop is requested (or when a Start fails) returns:
  // with a completed buffer if one is queued by the time it runs, else null,
  // even when the owner starts the worker again before the client runs.
  CaptureFrameBufferImpl* DequeueCompletedRequest();

  // As DequeueCompletedRequest, but waits `timeout_ms` at most (0: not at
  // all) and then returns null. Not exported.
  __attribute__((visibility("hidden"))) CaptureFrameBufferImpl* TryDequeueCompletedRequest(
      uint32_t timeout_ms);

  // Drops every pending buffer, giving it back unchanged. Refused with a
  // WARNING, leaving the queue as it is, while the worker thread is alive:
  // the worker may be about to submit the buffers it has picked.
  void ClearPendingRequests();

  // True between Start and Finish.
  bool running() const { return !finished_.load(); }

  // Waits until no client call is inside this object. Owner only, after
  // Finish (which releases the blocked ones); not exported.
  __attribute__((visibility("hidden"))) void AwaitClientCallsLeft()
      ABSL_LOCKS_EXCLUDED(calls_mutex_);

  // The service deleted the IPU objects this worker points to: it must never
  // start again. Owner only, on a stopped worker; not exported.
  __attribute__((visibility("hidden"))) void MarkIpuReleased() { ipu_released_ = true; }
  bool ipu_released() const { return ipu_released_; }

  // Clients blocked in DequeueCompletedRequest right now, for tests that
  // must know a client waits before they stop the worker. Not exported.
  __attribute__((visibility("hidden"))) int BlockedClientCount();

  // Timeouts in a row that the worker, waiting now, found no buffer pending
  // after (0 when it is not in such a stretch); for tests. Not exported.
  __attribute__((visibility("hidden"))) uint64_t StarvedTimeouts();

 private:
  friend class CaptureJobThreadPeer;  // tests: stage a stop against a queued buffer

  // Counts a client call (the enqueues, the dequeues, ClearPendingRequests)
  // for as long as it is inside this object.
  class ClientCall;

  void Run();
  // The dequeues: waits for a completed buffer until `deadline` (none:
  // without a limit), a stop request, or, when stopped, not at all.
  __attribute__((visibility("hidden"))) CaptureFrameBufferImpl* DequeueCompletedUntil(
      const std::chrono::steady_clock::time_point* deadline) ABSL_LOCKS_EXCLUDED(completed_mutex_);
  // Wakes the worker and every blocked client after finished_ was set, and
  // counts a stop request.
  __attribute__((visibility("hidden"))) void ReleaseWaiters()
      ABSL_LOCKS_EXCLUDED(pending_mutex_, completed_mutex_);
  // Run's two phases, not exported. AwaitPendingBuffers is one cycle's
  // supply wait: it returns once `needed` buffers are pending, a stop is
  // requested, or a full timeout passed with one buffer pending; a timeout
  // with none pending waits on, and such a stretch of timeouts logs the
  // supply-rule warning at its first timeout and their count at its end
  // (pending_mutex_ released meanwhile). DrainSubmitted, after a stop request, waits for
  // and retires the buffers at the head of the pending queue whose job was
  // submitted, and leaves the others pending.
  __attribute__((visibility("hidden"))) void AwaitPendingBuffers(size_t needed)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(pending_mutex_);
  __attribute__((visibility("hidden"))) void DrainSubmitted()
      ABSL_LOCKS_EXCLUDED(pending_mutex_, completed_mutex_, ipu_mutex_);
  // SUCCESS when `frame_buffer` has the shape of the streams (SetStreams).
  __attribute__((visibility("hidden"))) CaptureError CheckFits(
      const CaptureFrameBufferImpl& frame_buffer) const;
  void EnqueueIpuCapture(CaptureFrameBufferImpl* frame_buffer)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(ipu_mutex_);
  void WaitIpuCapture(CaptureFrameBufferImpl* frame_buffer)
      ABSL_LOCKS_EXCLUDED(pending_mutex_, completed_mutex_, ipu_mutex_);
  void PostIpuCapture(CaptureFrameBufferImpl* frame_buffer)
      ABSL_LOCKS_EXCLUDED(pending_mutex_, completed_mutex_);

  // Constant after construction.
  OzyDevice* const device_;
  OzyJob* const job_;
  ozy::TransferNodes* const transfer_nodes_;
  OzyTransferEventStatus* const sof_status_;
  OzyTransferEventStatus* const eof_status_;
  const uint32_t timeout_ms_;
  // One stream's frame as a bound buffer must hold it.
  struct FrameShape {
    int data_type;
    uint64_t row_stride_bytes;
    uint64_t size_bytes;
  };
  // Written by SetStreams before the worker starts; then read by the worker
  // only.
  std::vector<FrameShape> frame_shapes_;

  // Owner thread only: the worker, joinable between Start and Finish.
  std::thread thread_;
  // Owner thread only: set by MarkIpuReleased.
  bool ipu_released_ = false;
  // Stop request: set by Finish (and true before the first Start); read
  // everywhere without a lock.
  std::atomic<bool> finished_{true};

  // Guards no data: one cycle's submissions and Finish's device reset.
  Mutex ipu_mutex_;

  // Taken before pending_mutex_ where both are held.
  Mutex completed_mutex_ ABSL_ACQUIRED_BEFORE(pending_mutex_);
  CondVar completed_cv_{&completed_mutex_};
  std::deque<CaptureFrameBufferImpl*> completed_queue_ ABSL_GUARDED_BY(completed_mutex_);
  // Stop requests so far. A client that blocked before a stop returns once
  // this changes, whether or not finished_ has been cleared again since.
  uint64_t stop_generation_ ABSL_GUARDED_BY(completed_mutex_) = 0;
  // Clients waiting on completed_cv_.
  int blocked_clients_ ABSL_GUARDED_BY(completed_mutex_) = 0;

  Mutex pending_mutex_ ABSL_ACQUIRED_AFTER(completed_mutex_);
  CondVar pending_cv_{&pending_mutex_};
  std::deque<CaptureFrameBufferImpl*> pending_queue_ ABSL_GUARDED_BY(pending_mutex_);
  // True from Start until Run has drained and returns.
  bool worker_active_ ABSL_GUARDED_BY(pending_mutex_) = false;
  // Timeouts in a row with no buffer pending (the supply rule broken), in
  // the worker's current wait; 0 outside such a stretch.
  uint64_t starved_timeouts_ ABSL_GUARDED_BY(pending_mutex_) = 0;

  Mutex calls_mutex_;
  CondVar calls_done_cv_{&calls_mutex_};
  int calls_in_progress_ ABSL_GUARDED_BY(calls_mutex_) = 0;
};

namespace internal {
// Test seam, not exported: the next `count` worker starts fail as if the
// system had refused to create the thread. `in_window`, when set, runs on
// the owner's thread inside each failing Start, after the stop flag was
// cleared and before the failure is handled (where a client may block).
void FailThreadStartsForTesting(int count, std::function<void()> in_window = nullptr);
// Test seam, not exported: workers whose destructor now waits for client
// calls under way to leave.
int DestructorsWaitingForCallsForTesting();
}  // namespace internal

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_JOB_THREAD_H_
