// Measurement helpers shared by the capture benchmarks: a capture run on the
// simulated IPU with the statistics of talon-cam, a two-thread
// condition-variable round trip as the baseline of hand-over cost, and CPU
// clocks.
//
// Each function is called from one thread at a time; RunCapture uses one
// client thread (the caller's) besides the service's worker. Which copy of
// libtalon the harness runs, the shared library or the static one, is the
// benchmark's choice.

#ifndef BENCH_CAPTURE_HARNESS_H_
#define BENCH_CAPTURE_HARNESS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/frame_stats.h"
#include "system/capture/capture_types.h"

namespace talon_bench {

struct CaptureRun {
  bool ok = false;             // the service was created and every frame came back
  uint64_t frames = 0;         // buffers dequeued
  uint64_t errors = 0;         // of which failed
  uint64_t dropped = 0;        // sensor frames between delivered ones
  double delivered_pct = 0;    // delivered / (delivered + dropped) × 100
  int64_t latency_p50_ns = 0;  // EOF to dequeue
  int64_t latency_p99_ns = 0;
  double wall_s = 0;                   // first enqueue to last dequeue
  double frames_per_s = 0;             // frames / wall_s
  double worker_cpu_ns_per_frame = 0;  // process CPU minus the client's, per frame
  double process_cpu_ns_per_frame = 0;
  uint64_t single_buffer_cycles = 0;                // worker cycles with no second run queued
  std::vector<talon_support::FrameRecord> records;  // every buffer dequeued, in order
};

// Captures `frames` frames of `config` at sensor rate `fps` (0: unthrottled)
// with `buffers` frame buffers, re-enqueued as they come back until the last
// frame is in; then the service stops at once. The library's
// log lines of the run go to a temporary file, not the terminal. With
// `count_single_buffer`, the single-buffered cycles are counted from the
// runtime's trace, which costs every runtime call a formatted line: leave
// it off where the run measures throughput or CPU time alone.
CaptureRun RunCapture(const vireo::CaptureConfig& config, double fps, int buffers, uint64_t frames,
                      bool count_single_buffer = false);

struct RoundTrip {
  int64_t p50_ns = 0;
  int64_t p99_ns = 0;
  double per_s = 0;  // round trips per second
};

// `count` round trips between two threads over a mutex and two condition
// variables: the cheapest hand-over a worker and a client can do.
RoundTrip MeasureCondVarRoundTrip(uint64_t count);

// The clocks of a capture run (process and thread CPU time, CLOCK_BOOTTIME).
using talon_support::BoottimeNs;
using talon_support::ProcessCpuNs;
using talon_support::ThreadCpuNs;

// A fresh empty directory for the compiled-graph cache; the library is
// pointed at it through TEST_UNDECLARED_OUTPUTS_DIR. The directories are
// removed with everything in them when the process exits.
std::string UseFreshGraphCache();

}  // namespace talon_bench

#endif  // BENCH_CAPTURE_HARNESS_H_
