// The host's own timing noise, measured the way the capture at a fixed frame
// rate uses the host, without the library and the simulated runtime: a
// "ticker" thread waits on a condition variable until each of a series of
// deadlines one period apart (with the timer slack cut to 1 ns, as the
// simulated runtime does for its waits until a frame's end) and at each
// wake-up hands a tick to a second thread blocked on another condition
// variable (as the worker hands a finished frame to a client blocked in
// DequeueCompletedRequest).
//
// From it: how often the plain thread wakes too late to queue the next
// capture in time (the host's share of dropped frames), how late it wakes
// (the baseline of the runtime's part of the EOF-to-dequeue latency) and what
// the hand-off costs (the baseline of the library's part).
//
// MeasureHostBaseline runs on the caller's thread (the receiving side) and
// one thread of its own (the ticker), joined before it returns.

#ifndef BENCH_HOST_BASELINE_H_
#define BENCH_HOST_BASELINE_H_

#include <cstdint>
#include <vector>

namespace talon_bench {

struct HostBaseline {
  std::vector<int64_t> wake_late_ns;  // per deadline: to the timed wait's return
  std::vector<int64_t> handoff_ns;    // per tick received: posted to the receiver's return

  // Adds the deadlines and samples of `more` (another span of the same kind).
  void Add(const HostBaseline& more);
  uint64_t periods() const { return wake_late_ns.size(); }
  // Wake-ups more than `ns` after their deadline.
  uint64_t LateBy(int64_t ns) const;
};

// `periods` deadlines `period_ns` apart.
HostBaseline MeasureHostBaseline(uint64_t periods, int64_t period_ns);

}  // namespace talon_bench

#endif  // BENCH_HOST_BASELINE_H_
