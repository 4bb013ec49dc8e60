#include "tools/talon-cam/spare_maker.h"

#include <utility>

namespace talon_cam {

void SpareMaker::Start(Make make, uint64_t budget, uint64_t ahead) {
  if (budget == 0) return;
  {
    vireo::MutexLock lock(&mutex_);
    budget_ = budget;
    ahead_ = ahead;
  }
  thread_ = std::thread([this, make = std::move(make)] { Run(make); });
}

void SpareMaker::Run(const Make& make) {
  for (;;) {
    {
      vireo::MutexLock lock(&mutex_);
      // Outputs that took spares are behind: as many again may follow.
      while (!stopping_ && budget_ > 0 && (!demanded_ || ready_.size() >= ahead_ + taken_)) {
        changed_.Wait();
      }
      if (stopping_ || budget_ == 0) return;
    }
    std::unique_ptr<vireo::CaptureFrameBuffer> buffer = make();
    vireo::MutexLock lock(&mutex_);
    if (buffer == nullptr) {  // the library logged why
      failed_ = true;
      budget_ = 0;
    } else {
      --budget_;
      ready_.push_back(std::move(buffer));
    }
    changed_.SignalAll();
  }
}

void SpareMaker::Demand() {
  vireo::MutexLock lock(&mutex_);
  demanded_ = true;
  changed_.SignalAll();
}

std::unique_ptr<vireo::CaptureFrameBuffer> SpareMaker::TakeReady() {
  if (ready_.empty()) return nullptr;
  std::unique_ptr<vireo::CaptureFrameBuffer> buffer = std::move(ready_.back());
  ready_.pop_back();
  ++taken_;
  changed_.SignalAll();
  return buffer;
}

std::unique_ptr<vireo::CaptureFrameBuffer> SpareMaker::Take() {
  vireo::MutexLock lock(&mutex_);
  return TakeReady();
}

std::unique_ptr<vireo::CaptureFrameBuffer> SpareMaker::WaitTake() {
  vireo::MutexLock lock(&mutex_);
  demanded_ = true;
  changed_.SignalAll();
  while (ready_.empty() && budget_ > 0 && !stopping_) changed_.Wait();
  return TakeReady();
}

bool SpareMaker::failed() const {
  vireo::MutexLock lock(&mutex_);
  return failed_;
}

void SpareMaker::Stop() {
  {
    vireo::MutexLock lock(&mutex_);
    stopping_ = true;
    changed_.SignalAll();
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace talon_cam
