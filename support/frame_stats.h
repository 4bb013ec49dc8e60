// Statistics of a capture run: what each dequeued frame buffer reported
// (error, start and end of frame, the moment the client dequeued it) and the
// summary drawn from it: errors by kind, frames the sensor delivered that no
// buffer received (from gaps between start-of-frame times), average frame
// rate and EOF-to-dequeue latency percentiles.
//
// FrameStats is a plain value used by one thread; the free functions are
// pure.

#ifndef SUPPORT_FRAME_STATS_H_
#define SUPPORT_FRAME_STATS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/boottime.h"
#include "system/capture/capture_types.h"

namespace talon_support {

// Clocks of a capture run, in nanoseconds: CLOCK_BOOTTIME (the clock of the
// frame timestamps), the process's CPU time and the calling thread's.
using vireo::BoottimeNs;  // base/boottime.h
int64_t ProcessCpuNs();
int64_t ThreadCpuNs();

// Nearest-rank percentile (0 < p <= 100) of `values`; 0 when empty.
int64_t Percentile(std::vector<int64_t> values, double p);

// The frame period estimated from consecutive start-of-frame times: the
// median of the positive differences; 0 with fewer than two usable times.
int64_t MedianPeriodNs(const std::vector<int64_t>& sof_ns);

// Sensor frames that fell between consecutive delivered frames:
// round(gap / period) - 1 per gap, with the period from MedianPeriodNs.
// 0 when no period can be estimated (unthrottled sensor, too few frames).
uint64_t CountDropped(const std::vector<int64_t>& sof_ns);

// The same against a known sensor period (a loop that misses every other
// frame has a regular gap that the median takes for the period).
uint64_t CountDroppedWithPeriod(const std::vector<int64_t>& sof_ns, int64_t period_ns);

struct FrameRecord {
  vireo::CaptureError error = vireo::CaptureError::SUCCESS;
  int64_t sof_ns = 0;      // start of frame, CLOCK_BOOTTIME
  int64_t eof_ns = 0;      // end of frame, CLOCK_BOOTTIME
  int64_t dequeue_ns = 0;  // when DequeueCompletedRequest returned it
  int64_t sensor_sequence = -1;  // the sensor's frame number, -1 when unknown
};

struct Summary {
  uint64_t frames = 0;     // buffers dequeued
  uint64_t errors = 0;     // buffers with an error
  std::map<vireo::CaptureError, uint64_t> errors_by_kind;
  uint64_t dropped = 0;    // sensor frames between delivered ones
  double average_fps = 0;  // delivered frames over their SOF span; 0 if unknown
  int64_t latency_p50_ns = 0;
  int64_t latency_p99_ns = 0;
};

class FrameStats {
 public:
  void Add(const FrameRecord& record);
  Summary Summarize() const;
  // Summarize with drops counted against a known period (0: estimated).
  // When every delivered frame carries the sensor's sequence (on the
  // simulator) and no period is given, drops are the sequence gaps: exact
  // even when every gap is alike, which the estimated period cannot see.
  Summary Summarize(int64_t period_ns) const;
  uint64_t frames() const { return frames_; }
  uint64_t errors() const { return errors_; }

 private:
  uint64_t frames_ = 0;
  uint64_t errors_ = 0;
  std::map<vireo::CaptureError, uint64_t> errors_by_kind_;
  std::vector<int64_t> sof_ns_;      // of successful frames, in order
  std::vector<int64_t> latency_ns_;  // of successful frames
  std::vector<int64_t> sequences_;   // of successful frames, -1 when unknown
};

// The summary as printed by talon-cam, several lines, each ending in '\n'.
// `cpu_ns_per_frame` < 0 leaves the CPU line out.
std::string FormatSummary(const Summary& summary, double cpu_ns_per_frame);

}  // namespace talon_support

#endif  // SUPPORT_FRAME_STATS_H_
