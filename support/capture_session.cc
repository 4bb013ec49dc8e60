#include "support/capture_session.h"

#include <algorithm>
#include <utility>

#include "absl/strings/str_cat.h"
#include "support/frame_sequence.h"
#include "system/capture/capture_setup.h"

namespace talon_support {

FrameRecord FrameRecorder::Describe(const vireo::CaptureFrameBuffer& buffer, int64_t dequeue_ns) {
  FrameRecord record;
  record.error = buffer.GetError();
  record.dequeue_ns = dequeue_ns;
  if (record.error == vireo::CaptureError::SUCCESS) {
    record.sof_ns = buffer.GetTimestampStartNs();
    record.eof_ns = buffer.GetTimestampEndNs();
  }
  return record;
}

int64_t FrameRecorder::Sequence(const vireo::CaptureFrameBuffer& buffer, const void* data) const {
  const vireo::CaptureStreamConfig& stream = config_.stream_configs.front();
  uint32_t sequence = 0;
  if (!ReadFrameSequence(data, buffer.GetRowStrideBytes(stream.data_type), stream, &sequence)) {
    return -1;
  }
  return sequence;
}

FrameRecord FrameRecorder::Add(FrameRecord record) {
  stats_->Add(record);
  // The period estimate settles over the first frames, which may lower the
  // total a little: a frame then reports none.
  const uint64_t total = stats_->dropped();
  record.dropped_before = total > dropped_ ? total - dropped_ : 0;
  dropped_ = std::max(dropped_, total);
  return record;
}

void FrameRecorder::Restart() {
  dropped_before_restart_ += dropped_;
  dropped_ = 0;
  stats_.emplace(period_ns_);
}

FrameRecord FrameRecorder::Record(const vireo::CaptureFrameBuffer& buffer, int64_t dequeue_ns,
                                  const void* first_stream, vireo::CaptureError* lock_error) {
  FrameRecord record = Describe(buffer, dequeue_ns);
  if (lock_error != nullptr) *lock_error = vireo::CaptureError::SUCCESS;
  if (record.error == vireo::CaptureError::SUCCESS) {
    if (first_stream != nullptr) {
      record.sensor_sequence = Sequence(buffer, first_stream);
    } else {
      const int32_t data_type = config_.stream_configs.front().data_type;
      void* data = nullptr;
      const vireo::CaptureError error = buffer.LockFrameData(data_type, &data);
      if (lock_error != nullptr) *lock_error = error;
      if (error == vireo::CaptureError::SUCCESS) {
        record.sensor_sequence = Sequence(buffer, data);
        buffer.UnlockFrameData(data_type);
      }
    }
  }
  return Add(record);
}

std::shared_ptr<CaptureSession> CaptureSession::Create(const vireo::CaptureConfig& config,
                                                       uint32_t buffers, vireo::CaptureError* error,
                                                       std::string* reason, int64_t period_ns) {
  std::shared_ptr<CaptureSession> session(new CaptureSession(config, period_ns));
  session->self_ = session;
  *error = vireo::CreateCaptureService(config, &session->service_, reason);
  if (*error != vireo::CaptureError::SUCCESS) return nullptr;
  // The service starts running; it waits paused until Start, with every
  // buffer pending.
  session->service_->Pause();
  {
    vireo::MutexLock lock(&session->factory_mutex_);
    session->factory_ = vireo::CaptureFrameBufferFactory::CreateInstance(config);
    if (session->factory_ == nullptr) {
      *error = vireo::CaptureError::GENERIC_FAILURE;
      *reason = "the library made no frame-buffer factory for the configuration";
      return nullptr;
    }
  }
  if (!session->Grow(buffers, reason)) {
    *error = vireo::CaptureError::NO_MEM;
    return nullptr;
  }
  return session;
}

CaptureSession::~CaptureSession() { service_.reset(); }

void CaptureSession::Start() {
  {
    vireo::MutexLock lock(&mutex_);
    woken_ = false;
    restarted_ = true;
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

uint64_t CaptureSession::Drain(const std::function<bool(TakenFrame*)>& take) {
  {
    vireo::MutexLock lock(&mutex_);
    woken_ = true;
    running_ = false;
    service_->Pause();  // a second Pause does nothing
  }
  const std::shared_ptr<CaptureSession> self = self_.lock();
  uint64_t cancelled = 0;
  bool wanted = take != nullptr;
  // Paused: the completed buffers, then null at once.
  while (vireo::CaptureFrameBuffer* frame = vireo::TryDequeueCompletedRequest(service_.get(), 0)) {
    if (frame->GetError() == vireo::CaptureError::CAPTURE_CANCELLED) {
      ++cancelled;
      Requeue(frame);
    } else if (wanted) {
      TakenFrame taken;
      Record(self, frame, &taken);
      wanted = take(&taken);
    } else {
      Requeue(frame);
    }
  }
  return cancelled;
}

vireo::CaptureFrameBuffer* CaptureSession::Next(uint32_t wait_ms, WaitEnd* end) {
  ++waiting_;
  vireo::CaptureFrameBuffer* frame = nullptr;
  bool interrupted = false;
  uint32_t waited_ms = 0;
  while (frame == nullptr && !woken_ && waited_ms < wait_ms) {
    const uint32_t slice = std::min(kWaitSliceMs, wait_ms - waited_ms);
    frame = vireo::TryDequeueCompletedRequest(service_.get(), slice);
    waited_ms += slice;
    if (frame == nullptr && interrupted_ && interrupted_()) {
      interrupted = true;
      break;
    }
  }
  --waiting_;
  vireo::MutexLock lock(&mutex_);
  if (frame != nullptr && !running_) {
    service_->EnqueueRequest(frame);
    frame = nullptr;
  }
  if (frame != nullptr) {
    *end = WaitEnd::kFrame;
  } else if (interrupted) {
    *end = WaitEnd::kInterrupted;
  } else if (woken_ || !running_) {
    *end = WaitEnd::kWoken;
  } else {
    *end = WaitEnd::kTimedOut;
  }
  return frame;
}

void CaptureSession::Requeue(vireo::CaptureFrameBuffer* frame) { service_->EnqueueRequest(frame); }

void CaptureSession::Record(std::shared_ptr<CaptureSession> self, vireo::CaptureFrameBuffer* frame,
                            TakenFrame* taken) {
  if (restarted_.exchange(false)) recorder_.Restart();
  FrameRecord record = FrameRecorder::Describe(*frame, BoottimeNs());
  if (record.error != vireo::CaptureError::SUCCESS) {
    Requeue(frame);
  } else {
    // A frame the library would not lock is back in the capture already:
    // recorded without its stamp.
    taken->lease = FrameLease::Lock(std::move(self), frame, &taken->lock_error);
    if (taken->lease != nullptr) {
      record.sensor_sequence =
          recorder_.Sequence(*frame, taken->lease->data(config_.stream_configs.front().data_type));
    }
  }
  taken->record = recorder_.Add(record);
}

WaitEnd CaptureSession::Take(uint32_t wait_ms, TakenFrame* taken) {
  *taken = TakenFrame();
  WaitEnd end;
  vireo::CaptureFrameBuffer* frame = Next(wait_ms, &end);
  if (frame != nullptr) Record(self_.lock(), frame, taken);
  return end;
}

WaitEnd CaptureSession::TakeNewest(uint32_t wait_ms, TakenFrame* taken) {
  *taken = TakenFrame();
  WaitEnd end;
  vireo::CaptureFrameBuffer* frame = Next(wait_ms, &end);
  if (frame == nullptr) return end;
  if (restarted_.exchange(false)) recorder_.Restart();
  uint64_t skipped = 0;
  uint64_t dropped = 0;
  while (vireo::CaptureFrameBuffer* newer = vireo::TryDequeueCompletedRequest(service_.get(), 0)) {
    // Recorded, so that the sensor's sequence sees it delivered.
    const FrameRecord older = recorder_.Record(*frame, BoottimeNs());
    dropped += older.dropped_before;
    if (older.error == vireo::CaptureError::SUCCESS) ++skipped;
    Requeue(frame);
    frame = newer;
  }
  Record(self_.lock(), frame, taken);
  taken->record.dropped_before += dropped;
  taken->skipped_before = skipped;
  skipped_ += skipped;
  return end;
}

bool CaptureSession::Grow(uint32_t total, std::string* error) {
  while (frames_.size() < total) {
    std::unique_ptr<vireo::CaptureFrameBuffer> frame = MakeFrame();
    if (frame == nullptr) {
      *error =
          absl::StrCat("the library could not make frame buffer ", frames_.size() + 1, " of ",
                       total, " (", vireo::GetCaptureErrorDesc(vireo::CaptureError::NO_MEM), ")");
      return false;
    }
    Adopt(std::move(frame));
  }
  return true;
}

std::unique_ptr<vireo::CaptureFrameBuffer> CaptureSession::MakeFrame() {
  vireo::MutexLock lock(&factory_mutex_);
  return factory_->Create();
}

void CaptureSession::Adopt(std::unique_ptr<vireo::CaptureFrameBuffer> frame) {
  service_->EnqueueRequest(frame.get());
  frames_.push_back(std::move(frame));
  ++total_;
}

bool CaptureSession::MayLend(uint32_t limit) {
  if (LendingKeepsTwo()) return true;
  std::string error;
  const uint32_t count = buffer_count();
  return count < limit && Grow(count + 1, &error) && LendingKeepsTwo();
}

std::shared_ptr<FrameLease> FrameLease::Lock(std::shared_ptr<CaptureSession> session,
                                             vireo::CaptureFrameBuffer* frame,
                                             vireo::CaptureError* error) {
  CaptureSession* const home = session.get();
  ++home->leased_;
  // The lease keeps the session, so the service and the buffers outlive it.
  return Lock(
      home->config(), frame,
      [session = std::move(session)](vireo::CaptureFrameBuffer* back) {
        session->Requeue(back);
        --session->leased_;
      },
      error);
}

std::shared_ptr<FrameLease> FrameLease::Lock(const vireo::CaptureConfig& config,
                                             vireo::CaptureFrameBuffer* frame, GiveBack give_back,
                                             vireo::CaptureError* error) {
  std::shared_ptr<FrameLease> lease(new FrameLease(frame, std::move(give_back)));
  *error = vireo::CaptureError::SUCCESS;
  for (const vireo::CaptureStreamConfig& stream : config.stream_configs) {
    void* data = nullptr;
    *error = frame->LockFrameData(stream.data_type, &data);
    if (*error != vireo::CaptureError::SUCCESS) return nullptr;  // the lease gives it back
    lease->data_[stream.data_type] = static_cast<const uint8_t*>(data);
  }
  return lease;
}

FrameLease::~FrameLease() {
  for (const auto& entry : data_) frame_->UnlockFrameData(entry.first);
  give_back_(frame_);
}

}  // namespace talon_support
