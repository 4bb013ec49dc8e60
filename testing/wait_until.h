// Test helper: waits, with a bound, for a condition that another thread
// makes true (a client blocked, a run submitted, a log line written), so
// that a broken behaviour fails the test instead of hanging it until the
// runner's limit.
//
//   ASSERT_TRUE(talon_testing::WaitUntil([&] { return worker->BlockedClientCount() == 1; }));
//
// Polls every millisecond; callable from any thread; the condition must be
// safe to call from the waiting thread.
//
// SleepUntilBoottime waits for a computed instant of CLOCK_BOOTTIME, the
// clock of the frame timestamps (not a guessed length).

#ifndef TESTING_WAIT_UNTIL_H_
#define TESTING_WAIT_UNTIL_H_

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

namespace talon_testing {

// True once `condition()` is true; false when `limit` passed first.
template <typename Condition>
bool WaitUntil(Condition condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Sleeps until CLOCK_BOOTTIME reaches `ns`.
inline void SleepUntilBoottime(int64_t ns) {
  const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_BOOTTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace talon_testing

#endif  // TESTING_WAIT_UNTIL_H_
