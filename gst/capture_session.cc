#include "gst/capture_session.h"

#include <algorithm>

#include "absl/strings/str_cat.h"

namespace talon_gst {

std::shared_ptr<CaptureSession> CaptureSession::Create(const vireo::CaptureConfig& config,
                                                       uint32_t buffers, std::string* error) {
  std::shared_ptr<CaptureSession> session(new CaptureSession(config));
  session->factory_ = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  if (session->factory_ == nullptr) {
    *error = "the library refused the frame-buffer factory (see its log)";
    return nullptr;
  }
  for (uint32_t i = 0; i < buffers; ++i) {
    session->frames_.push_back(session->factory_->Create());
    if (session->frames_.back() == nullptr) {
      *error = absl::StrCat("the library could not make frame buffer ", i + 1, " of ", buffers,
                            " (see its log)");
      return nullptr;
    }
  }
  session->total_ = buffers;
  session->service_ = vireo::CaptureService::CreateInstance(config);
  if (session->service_ == nullptr) {
    *error = "the library refused the configuration (see its log)";
    return nullptr;
  }
  // The service starts running; it waits paused until PLAYING, with every
  // buffer pending.
  session->service_->Pause();
  for (auto& frame : session->frames_) session->service_->EnqueueRequest(frame.get());
  return session;
}

CaptureSession::~CaptureSession() { service_.reset(); }

void CaptureSession::Start() {
  {
    vireo::MutexLock lock(&mutex_);
    woken_ = false;
    if (!running_) {
      running_ = true;
      service_->Resume();
      return;
    }
  }
  // Completed while nobody dequeued: stale now, captured again instead.
  while (vireo::CaptureFrameBuffer* frame = vireo::TryDequeueCompletedRequest(service_.get(), 0)) {
    service_->EnqueueRequest(frame);
  }
}

void CaptureSession::Wake() { woken_ = true; }

void CaptureSession::Stop() {
  {
    vireo::MutexLock lock(&mutex_);
    woken_ = true;
    if (!running_) return;
    running_ = false;
    service_->Pause();
  }
  // Frames that completed while stopping wait for the next Start.
  while (vireo::CaptureFrameBuffer* frame = vireo::TryDequeueCompletedRequest(service_.get(), 0)) {
    service_->EnqueueRequest(frame);
  }
}

vireo::CaptureFrameBuffer* CaptureSession::Next(uint32_t wait_ms, bool* timed_out) {
  *timed_out = false;
  ++waiting_;
  vireo::CaptureFrameBuffer* frame = nullptr;
  uint32_t waited_ms = 0;
  while (frame == nullptr && !woken_ && waited_ms < wait_ms) {
    const uint32_t slice = std::min(kWakeSliceMs, wait_ms - waited_ms);
    frame = vireo::TryDequeueCompletedRequest(service_.get(), slice);
    waited_ms += slice;
  }
  --waiting_;
  vireo::MutexLock lock(&mutex_);
  if (frame != nullptr && !running_) {
    service_->EnqueueRequest(frame);
    return nullptr;
  }
  *timed_out = frame == nullptr && !woken_ && running_;
  return frame;
}

void CaptureSession::Requeue(vireo::CaptureFrameBuffer* frame) {
  service_->EnqueueRequest(frame);
}

bool CaptureSession::Grow(uint32_t total, std::string* error) {
  while (frames_.size() < total) {
    std::unique_ptr<vireo::CaptureFrameBuffer> frame = factory_->Create();
    if (frame == nullptr) {
      *error = absl::StrCat("the library could not make frame buffer ", frames_.size() + 1,
                            " of ", total, " (see its log)");
      return false;
    }
    service_->EnqueueRequest(frame.get());
    frames_.push_back(std::move(frame));
    ++total_;
  }
  return true;
}

bool CaptureSession::MayLend(uint32_t limit) {
  if (LendingKeepsTwo()) return true;
  std::string error;
  const uint32_t count = buffer_count();
  return count < limit && Grow(count + 1, &error) && LendingKeepsTwo();
}

FrameLease::FrameLease(std::shared_ptr<CaptureSession> session, vireo::CaptureFrameBuffer* frame)
    : session_(std::move(session)), frame_(frame) {
  ++session_->leased_;
}

std::shared_ptr<FrameLease> FrameLease::Lock(std::shared_ptr<CaptureSession> session,
                                             vireo::CaptureFrameBuffer* frame,
                                             vireo::CaptureError* error) {
  std::shared_ptr<FrameLease> lease(new FrameLease(session, frame));
  for (const vireo::CaptureStreamConfig& stream : session->config().stream_configs) {
    void* data = nullptr;
    *error = frame->LockFrameData(stream.data_type, &data);
    if (*error != vireo::CaptureError::SUCCESS) return nullptr;  // the lease gives it back
    lease->data_[stream.data_type] = static_cast<const uint8_t*>(data);
  }
  return lease;
}

FrameLease::~FrameLease() {
  for (const auto& entry : data_) frame_->UnlockFrameData(entry.first);
  session_->Requeue(frame_);
  --session_->leased_;
}

}  // namespace talon_gst
