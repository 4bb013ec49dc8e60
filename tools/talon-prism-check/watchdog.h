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
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

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
  std::mutex mutex_;
  std::condition_variable cv_;
  bool armed_ = false;
  bool stop_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::string message_;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace talon_prism_check

#endif  // TOOLS_TALON_PRISM_CHECK_WATCHDOG_H_
