// One run of talonsrc's capture: the capture service, its frame-buffer
// factory and the `buffers` frame buffers in flight, from NULL→READY until
// the element and every buffer it lent downstream have let go.
//
// Ownership: CaptureSession is held by std::shared_ptr: by the element
// while it is READY or above, and by every FrameLease. A FrameLease is one
// dequeued frame buffer with every stream's data locked; GStreamer memory
// that wraps the data holds the lease, so a frame buffer (and the service)
// outlives every GstMemory that points into it, also after the element went
// to NULL. Destruction pauses the service (no client is blocked then: only
// the element's streaming thread dequeues, and it has stopped), then frees
// the service, the frame buffers and the factory.
//
// Waiting: Next waits with the service's timed dequeue in slices of
// kWakeSliceMs, so Wake (PLAYING→PAUSED) returns it promptly while the
// capture goes on: no run in flight is cancelled. Only Stop (PAUSED→READY,
// EOS) pauses the service.
//
// Threads: Start, Wake and Stop come from the element's state changes (Stop
// also from its streaming thread at EOS), Next only from the streaming
// thread, a lease's release (its destructor) from any thread that drops the
// last GstMemory. Start/Stop and Next's check of the run state meet under
// mutex_; the wake flag is atomic; the service's own calls are
// thread-safe.

#ifndef GST_CAPTURE_SESSION_H_
#define GST_CAPTURE_SESSION_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_types.h"

namespace talon_gst {

class CaptureSession {
 public:
  // A paused service with `buffers` frame buffers enqueued; null with the
  // reason in `error` when the library refuses the configuration.
  static std::shared_ptr<CaptureSession> Create(const vireo::CaptureConfig& config,
                                                uint32_t buffers, std::string* error);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // The longest slice of Next's wait: how long a Wake may take.
  static constexpr uint32_t kWakeSliceMs = 20;

  // Capture runs: the service resumes when stopped; frames completed while
  // the element did not dequeue (it was paused) are enqueued again, so the
  // first frame after Start is a fresh one. Ends a Wake.
  void Start();
  // Next returns null within kWakeSliceMs, until Start; the capture goes on.
  void Wake();
  // Capture stops (the service pauses, cancelling the runs in flight; the
  // frames wait, enqueued again, for Start); wakes Next.
  void Stop();

  // The next completed frame buffer, waiting at most `wait_ms`; null when
  // woken, stopped, or (`*timed_out` set) when the time ran out. The caller
  // hands it back through a FrameLease or Requeue.
  vireo::CaptureFrameBuffer* Next(uint32_t wait_ms, bool* timed_out);

  // Hands a frame buffer back for capture; its data must be unlocked.
  void Requeue(vireo::CaptureFrameBuffer* frame);

  // Adds frame buffers until `total` are in play (never fewer than now);
  // false with the reason when the library cannot make one. Streaming
  // thread only.
  bool Grow(uint32_t total, std::string* error);
  uint32_t buffer_count() const { return total_.load(std::memory_order_relaxed); }

  // Whether lending the frame in hand (a live lease) still leaves the
  // service two frame buffers (one running, one queued behind it) while the
  // next frame is in hand, should downstream keep every lent one: else the
  // frame is copied rather than lent. Any thread; a snapshot.
  bool LendingKeepsTwo() const {
    return buffer_count() >= leased_.load(std::memory_order_relaxed) + 3;
  }

  // Whether the frame in hand may be lent: when lending would leave the
  // service short, one more frame buffer is made, up to `limit` in play;
  // beyond that (or when the library cannot make one) false: copy it.
  // Streaming thread only.
  bool MayLend(uint32_t limit);

  // Threads blocked in, or about to enter, the service's dequeue (for tests).
  int waiting() const { return waiting_.load(); }

  const vireo::CaptureConfig& config() const { return config_; }

 private:
  explicit CaptureSession(const vireo::CaptureConfig& config) : config_(config) {}

  friend class FrameLease;

  const vireo::CaptureConfig config_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory_;
  // Made at Create, grown by Grow on the streaming thread; freed last.
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> frames_;
  std::atomic<uint32_t> total_{0};
  std::atomic<uint32_t> leased_{0};  // live FrameLeases
  std::atomic<int> waiting_{0};
  std::atomic<bool> woken_{false};
  // Declared after the frame buffers: destroyed (paused) before them.
  std::unique_ptr<vireo::CaptureService> service_;
  vireo::Mutex mutex_;
  bool running_ ABSL_GUARDED_BY(mutex_) = false;
};

// One frame buffer out of the service with every stream's data locked.
// Destroying the lease unlocks the data and enqueues the buffer again.
// Immutable after Lock; shared between the GstMemory of every pad.
class FrameLease {
 public:
  // Locks every stream of `frame`; null with the error when the library
  // refuses a lock (the frame is then unlocked and requeued).
  static std::shared_ptr<FrameLease> Lock(std::shared_ptr<CaptureSession> session,
                                          vireo::CaptureFrameBuffer* frame,
                                          vireo::CaptureError* error);
  ~FrameLease();
  FrameLease(const FrameLease&) = delete;
  FrameLease& operator=(const FrameLease&) = delete;

  const uint8_t* data(int32_t data_type) const { return data_.at(data_type); }
  uint64_t stride(int32_t data_type) const { return frame_->GetRowStrideBytes(data_type); }
  vireo::CaptureFrameBuffer* frame() const { return frame_; }

 private:
  FrameLease(std::shared_ptr<CaptureSession> session, vireo::CaptureFrameBuffer* frame);

  const std::shared_ptr<CaptureSession> session_;
  vireo::CaptureFrameBuffer* const frame_;
  std::map<int32_t, const uint8_t*> data_;  // locked streams
};

}  // namespace talon_gst

#endif  // GST_CAPTURE_SESSION_H_
