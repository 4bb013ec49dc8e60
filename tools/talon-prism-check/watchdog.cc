#include "tools/talon-prism-check/watchdog.h"

#include <unistd.h>

#include <cstdio>

namespace talon_prism_check {

Watchdog::Watchdog(std::function<void()> cleanup)
    : cleanup_(std::move(cleanup)), thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
  {
    vireo::MutexLock lock(&mutex_);
    stop_ = true;
  }
  cv_.Signal();
  thread_.join();
}

void Watchdog::Arm(std::chrono::milliseconds budget, std::string message) {
  {
    vireo::MutexLock lock(&mutex_);
    armed_ = true;
    deadline_ = std::chrono::steady_clock::now() + budget;
    message_ = std::move(message);
  }
  cv_.Signal();
}

void Watchdog::Disarm() {
  vireo::MutexLock lock(&mutex_);
  armed_ = false;
}

void Watchdog::Run() {
  vireo::MutexLock lock(&mutex_);
  while (!stop_) {
    if (!armed_) {
      cv_.Wait();
    } else if (std::chrono::steady_clock::now() < deadline_) {
      cv_.WaitUntil(deadline_);
    } else {
      std::fputs(message_.c_str(), stdout);
      std::fflush(stdout);
      cleanup_();
      _exit(1);
    }
  }
}

}  // namespace talon_prism_check
