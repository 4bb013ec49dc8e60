#include "gst/capture_session.h"

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
  vireo::MutexLock lock(&mutex_);
  if (running_) return;
  running_ = true;
  service_->Resume();
}

void CaptureSession::Stop() {
  {
    vireo::MutexLock lock(&mutex_);
    if (!running_) return;
    running_ = false;
    service_->Pause();
  }
  // Frames that completed while stopping wait for the next Start.
  while (vireo::CaptureFrameBuffer* frame = service_->DequeueCompletedRequest()) {
    service_->EnqueueRequest(frame);
  }
}

vireo::CaptureFrameBuffer* CaptureSession::Next() {
  ++waiting_;
  vireo::CaptureFrameBuffer* frame = service_->DequeueCompletedRequest();
  --waiting_;
  vireo::MutexLock lock(&mutex_);
  if (frame != nullptr && !running_) {
    service_->EnqueueRequest(frame);
    return nullptr;
  }
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
