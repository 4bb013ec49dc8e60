// Marks the moment each wait of the library's worker for a finished IPU run
// returns, so that a frame's EOF-to-dequeue latency can be split there: end
// of frame to the wait's return is the runtime's part, the wait's return to
// the client's dequeue the library's.
//
// The probe sits between the library and the runtime at link time: an
// executable that links wait_probe.cc links the static copy of libtalon with
// -Wl,--wrap=OzyWaitForCompletionWithTimeout, which sends the library's calls
// to the probe; the probe calls the runtime's function and records its return.
// Neither the library nor the runtime changes.
//
// Threading: the library's worker threads record (under the probe's mutex);
// StartWaitProbe and TakeWaitProbe may be called from any thread. Records
// belong to the probe until TakeWaitProbe hands them over.

#ifndef BENCH_WAIT_PROBE_H_
#define BENCH_WAIT_PROBE_H_

#include <cstdint>
#include <vector>

namespace talon_bench {

struct WaitProbeRecords {
  uint64_t calls = 0;  // waits that went through the probe, whatever they returned
  // CLOCK_BOOTTIME when each wait that returned success did so, in the order
  // of the returns (runs complete in order: the order of their frames).
  std::vector<int64_t> success_return_ns;
};

// Forgets what was recorded so far and keeps room for `expected` successful
// waits, so that recording does not allocate in the measured span.
void StartWaitProbe(uint64_t expected);

// What was recorded since StartWaitProbe.
WaitProbeRecords TakeWaitProbe();

}  // namespace talon_bench

#endif  // BENCH_WAIT_PROBE_H_
