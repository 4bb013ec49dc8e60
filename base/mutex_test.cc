#include "base/mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vireo {
namespace {

struct Flag {
  Mutex mutex;
  CondVar changed{&mutex};
  bool set ABSL_GUARDED_BY(mutex) = false;
};

// Catches a timed wait that reports the time running out as a wake-up (or
// the reverse): the capture worker restarts its full timeout after a wake-up
// and goes ahead single-buffered only after a timeout, so a wrong result
// either hangs the capture or drops double buffering.
TEST(CondVar, TimedWaitsTellTimeoutFromWakeUp) {
  Flag flag;
  MutexLock lock(&flag.mutex);
  EXPECT_FALSE(flag.changed.WaitFor(std::chrono::milliseconds(1)));
  EXPECT_FALSE(flag.changed.WaitUntil(std::chrono::steady_clock::now()));

  std::thread setter([&flag] {
    MutexLock setter_lock(&flag.mutex);
    flag.set = true;
    flag.changed.SignalAll();
  });
  bool woken = false;
  while (!flag.set) woken = flag.changed.WaitFor(std::chrono::seconds(60));
  EXPECT_TRUE(woken);
  flag.mutex.Unlock();  // the setter needs the mutex to finish
  setter.join();
  flag.mutex.Lock();
}

}  // namespace
}  // namespace vireo
