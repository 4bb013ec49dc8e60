#include "system/capture/capture_job_thread.h"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "base/logging.h"
#include "system/capture/capture_util.h"
#include "system/capture/held_buffers.h"

namespace vireo {
namespace {

std::atomic<int> g_failing_thread_starts{0};
// Destructors now waiting for client calls to leave (tests).
std::atomic<int> g_destructors_waiting{0};
// Set and run on the owner's thread only (see FailThreadStartsForTesting).
std::function<void()>& FailingStartWindow() {
  static std::function<void()> window;
  return window;
}

}  // namespace

namespace internal {
void FailThreadStartsForTesting(int count, std::function<void()> in_window) {
  FailingStartWindow() = std::move(in_window);
  g_failing_thread_starts.store(count);
}
int DestructorsWaitingForCallsForTesting() { return g_destructors_waiting.load(); }
}  // namespace internal

class CaptureJobThread::ClientCall {
 public:
  explicit ClientCall(CaptureJobThread* worker) : worker_(worker) {
    MutexLock lock(&worker_->calls_mutex_);
    ++worker_->calls_in_progress_;
  }
  // Notifies under the lock: the destructor cannot free the condition
  // variable before this call has left it.
  ~ClientCall() {
    MutexLock lock(&worker_->calls_mutex_);
    if (--worker_->calls_in_progress_ == 0) worker_->calls_done_cv_.SignalAll();
  }
  ClientCall(const ClientCall&) = delete;
  ClientCall& operator=(const ClientCall&) = delete;

 private:
  CaptureJobThread* const worker_;
};

CaptureJobThread::CaptureJobThread(OzyDevice* device, OzyJob* job,
                                   ozy::TransferNodes* transfer_nodes,
                                   OzyTransferEventStatus* sof_status,
                                   OzyTransferEventStatus* eof_status, uint32_t timeout_ms)
    : device_(device),
      job_(job),
      transfer_nodes_(transfer_nodes),
      sof_status_(sof_status),
      eof_status_(eof_status),
      timeout_ms_(timeout_ms) {}

CaptureJobThread::~CaptureJobThread() {
  Finish();
  AwaitClientCallsLeft();
  MutexLock completed_lock(&completed_mutex_);
  MutexLock pending_lock(&pending_mutex_);
  for (CaptureFrameBufferImpl* frame_buffer : completed_queue_) held_buffers::Release(frame_buffer);
  for (CaptureFrameBufferImpl* frame_buffer : pending_queue_) held_buffers::Release(frame_buffer);
}

void CaptureJobThread::AwaitClientCallsLeft() {
  // The stop released every blocked client; none blocks again.
  MutexLock lock(&calls_mutex_);
  if (calls_in_progress_ == 0) return;
  g_destructors_waiting.fetch_add(1);
  while (calls_in_progress_ > 0) calls_done_cv_.Wait();
  g_destructors_waiting.fetch_sub(1);
}

void CaptureJobThread::Start() {
  if (thread_.joinable()) {
    LOG(WARNING) << "Start ignored: the capture thread is running";
    return;
  }
  finished_.store(false);
  OzyError error = OzyLoadDeviceConfig(job_);
  CHECK_EQ(OZY_SUCCESS, error) << "Could not load device config.";
  {
    MutexLock lock(&pending_mutex_);
    worker_active_ = true;
  }
  try {
    if (g_failing_thread_starts.load() > 0) {
      g_failing_thread_starts.fetch_sub(1);
      if (FailingStartWindow()) FailingStartWindow()();
      throw std::system_error(EAGAIN, std::generic_category(), "thread constructor failed");
    }
    thread_ = std::thread(&CaptureJobThread::Run, this);
  } catch (...) {
    // Back to stopped, so that nobody waits for a worker that never ran:
    // clients that blocked since finished_ was cleared are released as by
    // any stop.
    {
      MutexLock lock(&pending_mutex_);
      worker_active_ = false;
    }
    finished_.store(true);
    ReleaseWaiters();
    OzyUnloadDeviceConfig(job_);
    throw;
  }
}

void CaptureJobThread::ReleaseWaiters() {
  // Taking each queue mutex after setting the flag means that a thread that
  // saw the flag clear is already waiting when the notification comes. The
  // clients compare the stop generation rather than the flag, which a Start
  // may clear before a woken client runs.
  { MutexLock lock(&pending_mutex_); }
  pending_cv_.SignalAll();
  {
    MutexLock lock(&completed_mutex_);
    ++stop_generation_;
  }
  completed_cv_.SignalAll();
}

void CaptureJobThread::Finish() {
  if (finished_.load()) return;
  finished_.store(true);
  {
    MutexLock lock(&ipu_mutex_);
    OzyResetDevice(device_);
  }
  ReleaseWaiters();
  if (thread_.joinable()) thread_.join();
  OzyError error = OzyUnloadDeviceConfig(job_);
  CHECK_EQ(OZY_SUCCESS, error) << "Could not unload device config.";
}

void CaptureJobThread::EnqueueRequest(CaptureFrameBufferImpl* frame_buffer) {
  CHECK(frame_buffer != nullptr);
  ClientCall call(this);
  held_buffers::TryHold(frame_buffer, this);
  {
    MutexLock lock(&pending_mutex_);
    pending_queue_.push_back(frame_buffer);
    frame_buffer->SetStatus(CaptureStatus::ENQUEUED);
  }
  pending_cv_.Signal();
}

held_buffers::Hold CaptureJobThread::EnqueueRequestUnlessHeld(
    CaptureFrameBufferImpl* frame_buffer) {
  CHECK(frame_buffer != nullptr);
  ClientCall call(this);
  const held_buffers::Hold hold = held_buffers::TryHold(frame_buffer, this);
  switch (hold) {
    case held_buffers::Hold::kTaken:
      break;
    case held_buffers::Hold::kHeldByThis:
      LOG(WARNING) << "EnqueueRequest refused: the frame buffer is still in the service";
      return hold;
    case held_buffers::Hold::kHeldByOther:
      LOG(ERROR) << "EnqueueRequest refused: the frame buffer is held by another capture "
                 << "service";
      return hold;
    case held_buffers::Hold::kNotFromFactory:
      LOG(ERROR) << "EnqueueRequest refused: the frame buffer was not made by a "
                 << "CaptureFrameBufferFactory";
      return hold;
  }
  {
    MutexLock lock(&pending_mutex_);
    pending_queue_.push_back(frame_buffer);
    frame_buffer->SetStatus(CaptureStatus::ENQUEUED);
  }
  pending_cv_.Signal();
  return hold;
}

CaptureFrameBufferImpl* CaptureJobThread::DequeueCompletedRequest() {
  return DequeueCompletedUntil(nullptr);
}

CaptureFrameBufferImpl* CaptureJobThread::TryDequeueCompletedRequest(uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return DequeueCompletedUntil(&deadline);
}

CaptureFrameBufferImpl* CaptureJobThread::DequeueCompletedUntil(
    const std::chrono::steady_clock::time_point* deadline) {
  ClientCall call(this);
  MutexLock lock(&completed_mutex_);
  const uint64_t generation = stop_generation_;
  while (true) {
    if (!completed_queue_.empty()) {
      CaptureFrameBufferImpl* frame_buffer = completed_queue_.front();
      completed_queue_.pop_front();
      held_buffers::Release(frame_buffer);
      return frame_buffer;
    }
    // Nothing completed and a stop was requested since this call began (the
    // worker may have been started again since): null, never a second wait.
    if (stop_generation_ != generation) return nullptr;
    if (finished_.load()) return nullptr;
    if (deadline != nullptr && std::chrono::steady_clock::now() >= *deadline) return nullptr;
    ++blocked_clients_;
    if (deadline == nullptr) {
      completed_cv_.Wait();
    } else {
      completed_cv_.WaitUntil(*deadline);
    }
    --blocked_clients_;
  }
}

int CaptureJobThread::BlockedClientCount() {
  MutexLock lock(&completed_mutex_);
  return blocked_clients_;
}

void CaptureJobThread::ClearPendingRequests() {
  ClientCall call(this);
  {
    MutexLock lock(&pending_mutex_);
    if (!worker_active_) {
      for (CaptureFrameBufferImpl* frame_buffer : pending_queue_) {
        held_buffers::Release(frame_buffer);
      }
      pending_queue_.clear();
      return;
    }
  }
  LOG(WARNING) << "ClearPendingRequests ignored: the capture is running";
}

void CaptureJobThread::Run() {
  LOG(INFO) << "Background thread starts";
  bool double_buffering = false;
  while (!finished_.load()) {
    CaptureFrameBufferImpl* current = nullptr;
    CaptureFrameBufferImpl* next = nullptr;
    bool single_buffer = false;
    {
      MutexLock lock(&pending_mutex_);
      AwaitPendingBuffers(double_buffering ? 1 : 2);
      if (pending_queue_.empty()) break;  // only after a stop request
      current = pending_queue_[0];
      if (pending_queue_.size() >= 2) {
        next = pending_queue_[1];
        double_buffering = true;
      } else {
        double_buffering = false;
        single_buffer = true;
      }
    }
    if (single_buffer) {
      LOG(WARNING) << "Only one frame buffer in request queue. "
                   << "Double buffering is not used.";
    }
    {
      MutexLock lock(&ipu_mutex_);
      if (finished_.load()) break;
      if (current->GetStatus() == CaptureStatus::ENQUEUED) EnqueueIpuCapture(current);
      if (next != nullptr && next->GetStatus() == CaptureStatus::ENQUEUED) {
        EnqueueIpuCapture(next);
      }
    }
    WaitIpuCapture(current);
    PostIpuCapture(current);
  }
  // Stopped: the buffers whose job was submitted come back before the worker
  // ends; the ones behind them stay pending.
  DrainSubmitted();
  MutexLock lock(&pending_mutex_);
  worker_active_ = false;
}

void CaptureJobThread::AwaitPendingBuffers(size_t needed) {
  while (pending_queue_.size() < needed && !finished_.load()) {
    bool woken = false;
    if (timeout_ms_ > 0) woken = pending_cv_.WaitFor(std::chrono::milliseconds(timeout_ms_));
    if (pending_queue_.size() >= needed || finished_.load()) break;
    if (woken) continue;  // a fresh full timeout
    if (pending_queue_.size() == 1) break;
    // The client broke the supply rule: nothing to capture into. Keep
    // waiting for a buffer; said once per stretch, which is counted. A zero
    // timeout waits without a limit rather than spinning.
    if (++starved_timeouts_ == 1) {
      const size_t pending = pending_queue_.size();
      pending_mutex_.Unlock();
      LOG(WARNING) << "Capture framebuffer not enqueued fast, "
                   << "pending queue size " << pending;
      pending_mutex_.Lock();
    }
    if (timeout_ms_ == 0) {
      while (pending_queue_.empty() && !finished_.load()) pending_cv_.Wait();
    }
  }
  if (starved_timeouts_ > 0) {
    const uint64_t starved = starved_timeouts_;
    starved_timeouts_ = 0;
    pending_mutex_.Unlock();
    LOG(WARNING) << "Capture framebuffer not enqueued fast: " << starved << " waits of "
                 << timeout_ms_ << " ms passed with no frame buffer pending";
    pending_mutex_.Lock();
  }
}

uint64_t CaptureJobThread::StarvedTimeouts() {
  MutexLock lock(&pending_mutex_);
  return starved_timeouts_;
}

void CaptureJobThread::DrainSubmitted() {
  while (true) {
    CaptureFrameBufferImpl* frame_buffer = nullptr;
    {
      MutexLock lock(&pending_mutex_);
      if (pending_queue_.empty()) return;
      frame_buffer = pending_queue_[0];
    }
    CHECK(frame_buffer != nullptr);
    if (frame_buffer->GetStatus() != CaptureStatus::RUNNING) return;
    WaitIpuCapture(frame_buffer);
    PostIpuCapture(frame_buffer);
  }
}

void CaptureJobThread::SetStreams(const std::vector<CaptureStreamConfig>& streams) {
  frame_shapes_.clear();
  for (const CaptureStreamConfig& stream : streams) {
    frame_shapes_.push_back({static_cast<int>(stream.data_type),
                             vireo_util::GetRowStrideBytes(stream),
                             vireo_util::GetSizeBytes(stream)});
  }
}

CaptureError CaptureJobThread::CheckFits(const CaptureFrameBufferImpl& frame_buffer) const {
  for (const FrameShape& shape : frame_shapes_) {
    if (frame_buffer.GetBufferHandle(shape.data_type) == nullptr) {
      LOG(ERROR) << "Frame buffer holds no data type " << shape.data_type;
      return CaptureError::DATA_TYPE_NOT_FOUND;
    }
    // The factory made the device buffer of the entry's size, so the entry
    // tells its rows and stride. Equal bytes are not enough: rows of
    // another stride would be read as garbage.
    const uint64_t stride = frame_buffer.GetRowStrideBytes(shape.data_type);
    const uint64_t held = frame_buffer.GetSizeBytes(shape.data_type);
    if (stride != shape.row_stride_bytes || held != shape.size_bytes) {
      LOG(ERROR) << "Frame buffer of data type " << shape.data_type << " has rows of " << stride
                 << " bytes in " << held << " bytes, the stream rows of " << shape.row_stride_bytes
                 << " bytes in " << shape.size_bytes;
      return CaptureError::INVALID_BUFFER;
    }
  }
  const size_t streams = frame_buffer.GetDataTypeList().size();
  if (!frame_shapes_.empty() && streams != frame_shapes_.size()) {
    LOG(ERROR) << "Frame buffer holds " << streams << " streams, the capture "
               << frame_shapes_.size();
    return CaptureError::INVALID_BUFFER;
  }
  return CaptureError::SUCCESS;
}

void CaptureJobThread::EnqueueIpuCapture(CaptureFrameBufferImpl* frame_buffer) {
  CHECK(frame_buffer != nullptr);
  CHECK(frame_buffer->GetStatus() == CaptureStatus::ENQUEUED)
      << "Got unexpected state: " << static_cast<int>(frame_buffer->GetStatus());
  // A buffer that does not fit is never bound: a runtime that trusts the
  // buffer's size would write past it.
  CaptureError error = CheckFits(*frame_buffer);
  if (error == CaptureError::SUCCESS) {
    error = ozy::FinalizeBuffers(frame_buffer, &transfer_nodes_->finalize_infos, job_);
  }
  frame_buffer->SetStatus(CaptureStatus::RUNNING);
  if (error == CaptureError::SUCCESS) error = vireo_util::GetCaptureError(OzyEnqueueJob(job_));
  frame_buffer->SetError(error);
  if (error != CaptureError::SUCCESS) {
    LOG(ERROR) << "EnqueueIpuCapture failed: " << GetCaptureErrorDesc(error);
  }
}

void CaptureJobThread::WaitIpuCapture(CaptureFrameBufferImpl* frame_buffer) {
  CHECK(frame_buffer != nullptr);
  if (frame_buffer->GetError() == CaptureError::SUCCESS) {
    CHECK(frame_buffer->GetStatus() == CaptureStatus::RUNNING)
        << "Got unexpected state: " << static_cast<int>(frame_buffer->GetStatus());
    const uint64_t timeout_ns = uint64_t{timeout_ms_} * 1000000u;
    OzyError result = OzyWaitForCompletionWithTimeout(job_, timeout_ns);
    if (result == OZY_SUCCESS) {
      frame_buffer->SetTimestampStartNs(sof_status_->time_ns);
      frame_buffer->SetTimestampEndNs(eof_status_->time_ns);
    } else {
      CaptureError error = vireo_util::GetCaptureError(result);
      frame_buffer->SetError(error);
      frame_buffer->SetTimestampStartNs(0);
      frame_buffer->SetTimestampEndNs(0);
      if (error == CaptureError::CAPTURE_CANCELLED) {
        LOG(INFO) << "WaitIpuCapture cancelled";
      } else {
        LOG(ERROR) << "WaitIpuCapture failed: " << GetCaptureErrorDesc(error);
      }
    }
  }
  frame_buffer->SetStatus(CaptureStatus::COMPLETED);
}

void CaptureJobThread::PostIpuCapture(CaptureFrameBufferImpl* frame_buffer) {
  {
    MutexLock completed_lock(&completed_mutex_);
    MutexLock pending_lock(&pending_mutex_);
    CHECK(!pending_queue_.empty());
    CHECK_EQ(frame_buffer, pending_queue_[0]);
    completed_queue_.push_back(frame_buffer);
    pending_queue_.pop_front();
  }
  completed_cv_.Signal();
}

}  // namespace vireo
