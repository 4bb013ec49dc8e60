// Statistics of a capture run: what each dequeued frame buffer reported
// (error, start and end of frame, the moment the client dequeued it) and the
// summary drawn from it: errors by kind, frames the sensor delivered that no
// buffer received (from gaps in the sensor's sequence, or between
// start-of-frame times; a buffer that came back failed in such a gap received
// one of them: it is an error, not a drop), average frame rate and EOF-to-dequeue latency
// percentiles. Everything is counted as the frames arrive, in constant
// memory: a run of days costs what a run of seconds does.
//
// FrameStats is a plain value used by one thread.

#ifndef SUPPORT_FRAME_STATS_H_
#define SUPPORT_FRAME_STATS_H_

#include <cstdint>
#include <map>
#include <string>

#include "base/boottime.h"
#include "support/capture_error_name.h"
#include "support/latency_histogram.h"
#include "support/sof_drop_counter.h"
#include "system/capture/capture_types.h"

namespace talon_support {

// Clocks of a capture run, in nanoseconds: CLOCK_BOOTTIME (the clock of the
// frame timestamps), the process's CPU time and the calling thread's.
using vireo::BoottimeNs;  // base/boottime.h
int64_t ProcessCpuNs();
int64_t ThreadCpuNs();

struct FrameRecord {
  vireo::CaptureError error = vireo::CaptureError::SUCCESS;
  int64_t sof_ns = 0;            // start of frame, CLOCK_BOOTTIME
  int64_t eof_ns = 0;            // end of frame, CLOCK_BOOTTIME
  int64_t dequeue_ns = 0;        // when DequeueCompletedRequest returned it
  int64_t sensor_sequence = -1;  // the sensor's frame number, -1 when unknown
  // Sensor frames no buffer received since the previous record, as far as
  // the drop count knew them when this frame came (capture_session.h).
  uint64_t dropped_before = 0;
};

struct Summary {
  uint64_t frames = 0;  // buffers dequeued
  uint64_t errors = 0;  // buffers with an error
  std::map<vireo::CaptureError, uint64_t> errors_by_kind;
  uint64_t dropped = 0;    // sensor frames between delivered ones
  double average_fps = 0;  // delivered frames over their SOF span; 0 if unknown
  int64_t latency_p50_ns = 0;
  int64_t latency_p99_ns = 0;
};

class FrameStats {
 public:
  // `period_ns` > 0: drops are counted against the sensor's known period.
  // Otherwise, while every delivered frame carries the sensor's sequence (on
  // the simulator), drops are the sequence gaps: exact even when every gap
  // is alike, which an estimated period cannot see; else the start-of-frame
  // gaps against the estimated period.
  explicit FrameStats(int64_t period_ns = 0);

  void Add(const FrameRecord& record);
  Summary Summarize() const;
  uint64_t frames() const { return frames_; }
  uint64_t errors() const { return errors_; }
  // Summary::dropped, without the rest of the summary.
  uint64_t dropped() const;

 private:
  const bool known_period_;
  uint64_t frames_ = 0;
  uint64_t errors_ = 0;
  std::map<vireo::CaptureError, uint64_t> errors_by_kind_;  // one entry per kind seen
  // Of the successful frames:
  uint64_t delivered_ = 0;
  int64_t first_sof_ns_ = 0;
  int64_t last_sof_ns_ = 0;
  SofDropCounter sof_drops_;
  bool sequences_known_ = true;  // every one carried the sensor's sequence
  int64_t last_sequence_ = -1;
  uint64_t sequence_dropped_ = 0;
  uint64_t failed_since_delivered_ = 0;  // failed buffers since the last delivered one
  LatencyHistogram latency_;             // end of frame to dequeue
};

// The summary as printed by talon-cam, several lines, each ending in '\n';
// errors by kind go by their names (capture_error_name.h).
// `cpu_ns_per_frame` < 0 leaves the CPU line out.
std::string FormatSummary(const Summary& summary, double cpu_ns_per_frame);

}  // namespace talon_support

#endif  // SUPPORT_FRAME_STATS_H_
