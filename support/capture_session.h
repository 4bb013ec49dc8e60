// The client side of one capture, for every surface (talon-cam, the Python
// module, talonsrc): the capture service, its frame-buffer factory and the
// frame buffers in play; frames lent out with their streams locked; waits
// that a stop, a wake or an interrupt check ends; and each dequeued buffer
// turned into a FrameRecord by the one rule that counts dropped frames
// (FrameStats: the sensor's stamp, support/frame_sequence.h, else the
// start-of-frame gaps).
//
//   std::string reason;
//   vireo::CaptureError error;
//   auto session = talon_support::CaptureSession::Create(config, 4, &error, &reason);
//   if (session == nullptr) { /* one line: reason */ }
//   session->Start();
//   talon_support::TakenFrame frame;
//   while (session->Take(1000, &frame) == talon_support::WaitEnd::kFrame) {
//     ... frame.record, frame.lease->data(data_type) ...
//     frame = {};  // the buffer goes back to the capture
//   }
//
// Ownership: CaptureSession is held by std::shared_ptr: by its owner and by
// every FrameLease. A FrameLease is one dequeued frame buffer with every
// stream's data locked; when the last holder lets go (on any thread), the
// data is unlocked and the buffer enqueued again. So a frame buffer (and
// the service) outlives every lease, also after the owner let go of the
// session. Destruction pauses the service (no client is blocked then: only
// the capture thread dequeues, and it has stopped), then frees the service,
// the frame buffers and the factory.
//
// Waiting: every wait is the service's timed dequeue in slices of
// kWaitSliceMs, so Wake, Stop or the interrupt check (between slices) end it
// promptly while the capture goes on: no run in flight is cancelled. Only
// Stop (and destruction) pauses the service.
//
// Lending: when downstream keeps frames, MayLend grows the frame buffers up
// to a limit so that the service keeps two to capture into; beyond it the
// caller copies the frame and lets go of the lease at once.
//
// Ending: Stop keeps what the service completed for the next Start. A
// client that ends the capture for good and counts what it had (talon-cam)
// calls Drain instead: the frames completed before the stop come out,
// recorded, and the runs the stop cancelled are counted.
//
// Spares: a client whose outputs keep frames for long (talon-cam) makes
// frame buffers ahead of need on a thread of its own (MakeFrame) and puts
// them in play with Adopt when the service runs short, so that the capture
// thread never waits for an allocation.
//
// Threads: Start and Stop from the owner's control thread (Stop also from
// the capture thread); Wake from any thread (a signal's watcher); Next,
// Take, TakeNewest, Drain, Grow, Adopt, MayLend and the records' figures
// (Summarize, dropped, skipped) from the one capture thread; Requeue,
// MakeFrame, a lease's release and the buffer counts from any thread.
// Start/Stop/Drain and Next's check of the run state meet under mutex_; the
// factory is used under factory_mutex_; the wake flag and the buffer counts
// are atomic; the recorder and the list of frame buffers are the capture
// thread's alone; the service's own calls are thread-safe.

#ifndef SUPPORT_CAPTURE_SESSION_H_
#define SUPPORT_CAPTURE_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "support/frame_stats.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_types.h"

namespace talon_support {

// The longest slice of any wait for a frame or a call: how long a Wake, a
// Stop or an interrupt (Python's signals) may take to be seen.
constexpr uint32_t kWaitSliceMs = 20;

// Turns dequeued frame buffers into FrameRecords and counts what they say,
// by the one rule: FrameStats reads the sensor's sequence where the frame
// carries the stamp, else the start-of-frame gaps. For clients that hold
// buffers of their own (the Python module's low-level service); the
// session keeps one. One thread at a time.
class FrameRecorder {
 public:
  // `period_ns` > 0: the sensor's known period (FrameStats).
  explicit FrameRecorder(const vireo::CaptureConfig& config, int64_t period_ns = 0)
      : config_(config), period_ns_(period_ns), stats_(std::in_place, period_ns) {}

  // The record of `buffer`, dequeued at `dequeue_ns` (CLOCK_BOOTTIME), added
  // to the statistics with its dropped_before. The sensor's sequence is
  // read from `first_stream` (the first stream's data, locked by the caller)
  // or, when null, through a lock of its own; a lock the library refuses
  // leaves the sequence unknown and is returned in `lock_error`.
  FrameRecord Record(const vireo::CaptureFrameBuffer& buffer, int64_t dequeue_ns,
                     const void* first_stream = nullptr, vireo::CaptureError* lock_error = nullptr);
  // The parts of Record: the buffer's error and times; the sequence stamped
  // in the first stream's `data` (-1: none); the record added to the
  // statistics, its dropped_before set.
  static FrameRecord Describe(const vireo::CaptureFrameBuffer& buffer, int64_t dequeue_ns);
  int64_t Sequence(const vireo::CaptureFrameBuffer& buffer, const void* data) const;
  FrameRecord Add(FrameRecord record);

  // A new stretch of capture (after a pause, which is no gap of the
  // sensor's): the drops are counted on, the statistics start again.
  void Restart();

  uint64_t dropped() const { return dropped_before_restart_ + dropped_; }
  const FrameStats& stats() const { return *stats_; }

 private:
  const vireo::CaptureConfig config_;
  const int64_t period_ns_;
  std::optional<FrameStats> stats_;  // always set; made again by Restart
  uint64_t dropped_ = 0;             // stats_'s, as last reported
  uint64_t dropped_before_restart_ = 0;
};

class CaptureSession;

// One frame buffer out of the service with every stream's data locked, the
// one lease type of every surface. When the last holder lets go (on any
// thread), the data is unlocked and the buffer handed back: to the session's
// capture, or to the give-back of a client that keeps its own buffers.
// Immutable after Lock; any thread.
class FrameLease {
 public:
  // Where the buffer goes, its data unlocked; called once, on the thread
  // that lets go last (also within Lock when a lock is refused).
  using GiveBack = std::function<void(vireo::CaptureFrameBuffer*)>;

  // Locks every stream of `frame`; null with the error when the library
  // refuses a lock (the frame is then unlocked and requeued).
  static std::shared_ptr<FrameLease> Lock(std::shared_ptr<CaptureSession> session,
                                          vireo::CaptureFrameBuffer* frame,
                                          vireo::CaptureError* error);
  // The same for every stream of `config`, the buffer handed to `give_back`.
  static std::shared_ptr<FrameLease> Lock(const vireo::CaptureConfig& config,
                                          vireo::CaptureFrameBuffer* frame, GiveBack give_back,
                                          vireo::CaptureError* error);
  ~FrameLease();
  FrameLease(const FrameLease&) = delete;
  FrameLease& operator=(const FrameLease&) = delete;

  const uint8_t* data(int32_t data_type) const { return data_.at(data_type); }
  uint64_t stride(int32_t data_type) const { return frame_->GetRowStrideBytes(data_type); }
  vireo::CaptureFrameBuffer* frame() const { return frame_; }

 private:
  FrameLease(vireo::CaptureFrameBuffer* frame, GiveBack give_back)
      : frame_(frame), give_back_(std::move(give_back)) {}

  vireo::CaptureFrameBuffer* const frame_;
  const GiveBack give_back_;
  std::map<int32_t, const uint8_t*> data_;  // locked streams
};

// Why a wait ended.
enum class WaitEnd {
  kFrame,        // a frame is in hand
  kTimedOut,     // the time ran out while the capture ran
  kWoken,        // Wake, or the capture is stopped
  kInterrupted,  // the interrupt check said so
};

// A frame taken from the session: its record and, for a successful frame
// whose streams could be locked, its lease. A failed frame (or one the
// library would not lock: lock_error) is back in the capture already.
struct TakenFrame {
  FrameRecord record;
  std::shared_ptr<FrameLease> lease;
  vireo::CaptureError lock_error = vireo::CaptureError::SUCCESS;
  uint64_t skipped_before = 0;  // completed frames TakeNewest handed back unread
};

class CaptureSession {
 public:
  // A paused service with `buffers` frame buffers enqueued; null with the
  // library's error and its one-line reason when it refuses the
  // configuration (vireo::CreateCaptureService) or a frame buffer.
  // `period_ns` > 0: the sensor's known period, for the drop count.
  static std::shared_ptr<CaptureSession> Create(const vireo::CaptureConfig& config,
                                                uint32_t buffers, vireo::CaptureError* error,
                                                std::string* reason, int64_t period_ns = 0);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // Capture runs: the service resumes when stopped; frames completed while
  // nobody dequeued (the owner paused) are enqueued again, so the first
  // frame after Start is a fresh one. Ends a Wake. The records start a new
  // stretch (FrameRecorder::Restart): the frames the sensor sent meanwhile
  // are no drops.
  void Start();
  // Waits end (kWoken) within kWaitSliceMs, until Start; the capture goes on.
  // Any thread.
  void Wake();
  // Capture stops (the service pauses, cancelling the runs in flight; the
  // frames wait, enqueued again, for Start); ends the waits.
  void Stop();
  // Ends the capture for good, in place of Stop, and hands over what the
  // service still returns: the service pauses (cancelling the runs in
  // flight); each frame it completed before that is recorded and lent as by
  // Take and handed to `take`, in order, as long as `take` returns true (it
  // wants the next one); the frames after it, or all of them when `take` is
  // null, go back unrecorded (runs beyond the last frame wanted). The runs
  // the stop cancelled are neither recorded nor handed: returns how many
  // there were. The frame buffers wait, enqueued again, as after Stop.
  // Capture thread; a Stop meanwhile takes back what it finds first.
  uint64_t Drain(const std::function<bool(TakenFrame*)>& take);
  // Called between the slices of a wait on the waiting thread; true ends
  // the wait (kInterrupted). Set before the capture thread waits.
  void SetInterruptCheck(std::function<bool()> interrupted) {
    interrupted_ = std::move(interrupted);
  }

  // The next completed frame buffer, waiting at most `wait_ms`; null unless
  // `*end` is kFrame. The caller hands it back through a FrameLease or
  // Requeue.
  vireo::CaptureFrameBuffer* Next(uint32_t wait_ms, WaitEnd* end);
  // Hands a frame buffer back for capture; its data must be unlocked.
  void Requeue(vireo::CaptureFrameBuffer* frame);

  // The next completed frame as a record and a lease (Next, then Record).
  WaitEnd Take(uint32_t wait_ms, TakenFrame* taken);
  // The newest completed frame: older completed ones go straight back to
  // the capture, counted in skipped_before (and recorded, so that they are
  // no sensor drops); with none completed, the next one.
  WaitEnd TakeNewest(uint32_t wait_ms, TakenFrame* taken);

  // Adds frame buffers until `total` are in play (never fewer than now);
  // false with the reason when the library cannot make one.
  bool Grow(uint32_t total, std::string* error);
  // A frame buffer for the session's configuration from its factory, not in
  // play: for a client that makes buffers ahead of need on a thread of its
  // own and puts them in play with Adopt. Null when the library cannot make
  // one (it logs why). Any thread; one Create at a time, also against Grow.
  std::unique_ptr<vireo::CaptureFrameBuffer> MakeFrame();
  // Puts a frame buffer from MakeFrame in play: the session owns it from now
  // on and enqueues it for capture, as Grow does with the ones it makes.
  // Capture thread.
  void Adopt(std::unique_ptr<vireo::CaptureFrameBuffer> frame);
  uint32_t buffer_count() const { return total_.load(std::memory_order_relaxed); }
  uint32_t leased() const { return leased_.load(std::memory_order_relaxed); }

  // Whether lending the frame in hand (a live lease) still leaves the
  // service two frame buffers (one running, one queued behind it) while the
  // next frame is in hand, should the holders keep every lent one: else the
  // frame is copied rather than lent. Any thread; a snapshot.
  bool LendingKeepsTwo() const { return buffer_count() >= leased() + 3; }
  // Whether the frame in hand may be lent: when lending would leave the
  // service short, one more frame buffer is made, up to `limit` in play;
  // beyond that (or when the library cannot make one) false: copy it.
  bool MayLend(uint32_t limit);

  // What the records of this stretch said: frames, errors, drops, rate,
  // latency; dropped() counts over every stretch.
  Summary Summarize() const { return recorder_.stats().Summarize(); }
  uint64_t dropped() const { return recorder_.dropped(); }
  uint64_t skipped() const { return skipped_; }

  // Threads blocked in, or about to enter, the service's dequeue (for tests).
  int waiting() const { return waiting_.load(); }
  const vireo::CaptureConfig& config() const { return config_; }

 private:
  CaptureSession(const vireo::CaptureConfig& config, int64_t period_ns)
      : config_(config), recorder_(config, period_ns) {}

  // The record of `frame` (Next's), its lease when it succeeded.
  void Record(std::shared_ptr<CaptureSession> self, vireo::CaptureFrameBuffer* frame,
              TakenFrame* taken);

  friend class FrameLease;  // counts itself in leased_

  const vireo::CaptureConfig config_;
  std::weak_ptr<CaptureSession> self_;  // for the leases Take makes
  vireo::Mutex factory_mutex_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory_ ABSL_GUARDED_BY(factory_mutex_);
  // Made at Create, grown by Grow and Adopt on the capture thread; freed last.
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> frames_;
  std::atomic<uint32_t> total_{0};
  std::atomic<uint32_t> leased_{0};  // live FrameLeases
  std::atomic<int> waiting_{0};
  std::atomic<bool> woken_{false};
  std::atomic<bool> restarted_{false};  // Start since the last record
  std::function<bool()> interrupted_;
  FrameRecorder recorder_;  // the capture thread's
  uint64_t skipped_ = 0;    // the capture thread's
  // Declared after the frame buffers: destroyed (paused) before them.
  std::unique_ptr<vireo::CaptureService> service_;
  vireo::Mutex mutex_;
  bool running_ ABSL_GUARDED_BY(mutex_) = false;
};

}  // namespace talon_support

#endif  // SUPPORT_CAPTURE_SESSION_H_
