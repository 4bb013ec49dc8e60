#include "bench/host_baseline.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/frame_stats.h"

namespace talon_bench {
namespace {

// The latest tick and when it was handed over, from the ticker to the
// receiver: one mutex and one condition variable, as a finished frame goes
// from the worker to a client.
class TickHandoff {
 public:
  void Post(uint64_t tick, int64_t handed_ns) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tick_ = tick;
      handed_ns_ = handed_ns;
    }
    cv_.notify_one();
  }
  // Blocks until a tick later than `seen` is posted; returns the latest one
  // and sets `handed_ns` to when it was posted.
  uint64_t Receive(uint64_t seen, int64_t* handed_ns) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return tick_ > seen; });
    *handed_ns = handed_ns_;
    return tick_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t tick_ = 0;      // guarded by mutex_
  int64_t handed_ns_ = 0;  // guarded by mutex_
};

// Waits until each of `periods` deadlines `period_ns` apart, as the
// simulated runtime waits until a frame's end, and posts each tick; returns
// how late each wake-up came.
std::vector<int64_t> Tick(uint64_t periods, int64_t period_ns, TickHandoff* handoff) {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<int64_t> late_ns;
  late_ns.reserve(periods);
  std::mutex sleep_mutex;
  std::condition_variable never_notified;
  std::unique_lock<std::mutex> sleep_lock(sleep_mutex);
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t k = 1; k <= periods; ++k) {
    const auto deadline = start + std::chrono::nanoseconds(period_ns) * k;
    auto now = std::chrono::steady_clock::now();
    while (now < deadline) {
      never_notified.wait_until(sleep_lock, deadline);
      now = std::chrono::steady_clock::now();
    }
    late_ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - deadline).count());
    handoff->Post(k, talon_support::BoottimeNs());
  }
  return late_ns;
}

}  // namespace

HostBaseline MeasureHostBaseline(uint64_t periods, int64_t period_ns) {
  TickHandoff handoff;
  std::vector<int64_t> late_ns;
  std::thread ticker([&] { late_ns = Tick(periods, period_ns, &handoff); });

  // A tick the receiver was too slow to see is skipped, not counted twice.
  std::vector<int64_t> handoff_ns;
  handoff_ns.reserve(periods);
  for (uint64_t seen = 0; seen < periods;) {
    int64_t handed_ns = 0;
    seen = handoff.Receive(seen, &handed_ns);
    handoff_ns.push_back(talon_support::BoottimeNs() - handed_ns);
  }
  ticker.join();

  HostBaseline result;
  result.wake_late_ns = std::move(late_ns);
  result.handoff_ns = std::move(handoff_ns);
  return result;
}

void HostBaseline::Add(const HostBaseline& more) {
  wake_late_ns.insert(wake_late_ns.end(), more.wake_late_ns.begin(), more.wake_late_ns.end());
  handoff_ns.insert(handoff_ns.end(), more.handoff_ns.begin(), more.handoff_ns.end());
}

uint64_t HostBaseline::LateBy(int64_t ns) const {
  return static_cast<uint64_t>(std::count_if(wake_late_ns.begin(), wake_late_ns.end(),
                                             [ns](int64_t late) { return late > ns; }));
}

}  // namespace talon_bench
