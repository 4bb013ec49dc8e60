// Ends the process when one step of the check takes too long, so that a
// runtime call that never returns shows as a failure instead of a hang.
//
// Threading: Arm and Disarm are called by one thread; the watchdog's own
// thread waits for the deadline and, when it passes, prints the armed
// message on standard output, runs the cleanup and calls _exit(1).
// Ownership: owns its thread, which the destructor stops and joins.

#ifndef TOOLS_TALON_PRISM_CHECK_WATCHDOG_H_
#define TOOLS_TALON_PRISM_CHECK_WATCHDOG_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "base/mutex.h"

namespace talon_prism_check {

class Watchdog {
 public:
  explicit Watchdog(std::function<void()> cleanup);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // From now on, `budget` may pass before Disarm; else `message` is printed.
  void Arm(std::chrono::milliseconds budget, std::string message);
  void Disarm();

 private:
  void Run();

  const std::function<void()> cleanup_;
  vireo::Mutex mutex_;
  vireo::CondVar cv_{&mutex_};  // signalled by Arm and the destructor
  bool armed_ ABSL_GUARDED_BY(mutex_) = false;
  bool stop_ ABSL_GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point deadline_ ABSL_GUARDED_BY(mutex_);
  std::string message_ ABSL_GUARDED_BY(mutex_);
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace talon_prism_check

#endif  // TOOLS_TALON_PRISM_CHECK_WATCHDOG_H_
