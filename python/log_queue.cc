#include "python/log_queue.h"

#include <utility>

namespace talon_python {

void LogQueue::Push(int severity, const char* file, int line, const char* message) {
  {
    vireo::MutexLock lock(&mutex_);
    ++pushed_;
    if (entries_.size() >= kMaxEntries) {
      ++lost_;
      return;
    }
    entries_.push_back(
        Entry{severity, file != nullptr ? file : "", line, message != nullptr ? message : ""});
  }
  queued_.Signal();
}

std::vector<LogQueue::Entry> LogQueue::Take(uint64_t* lost) {
  vireo::MutexLock lock(&mutex_);
  *lost = std::exchange(lost_, 0);
  return std::exchange(entries_, {});
}

bool LogQueue::WaitForEntries(uint64_t* seen) {
  vireo::MutexLock lock(&mutex_);
  while (pushed_ == *seen && !stopped_) queued_.Wait();
  *seen = pushed_;
  return !stopped_;
}

bool LogQueue::WaitForEntries(uint64_t* seen, std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  vireo::MutexLock lock(&mutex_);
  while (pushed_ == *seen && !stopped_) {
    if (!queued_.WaitUntil(deadline)) break;
  }
  *seen = pushed_;
  return !stopped_;
}

void LogQueue::Stop() {
  {
    vireo::MutexLock lock(&mutex_);
    stopped_ = true;
  }
  queued_.SignalAll();
}

}  // namespace talon_python
