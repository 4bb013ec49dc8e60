#include "support/frame_stats.h"

#include <sys/resource.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>

namespace talon_support {

int64_t ProcessCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (int64_t{usage.ru_utime.tv_sec} + usage.ru_stime.tv_sec) * 1000000000 +
         (int64_t{usage.ru_utime.tv_usec} + usage.ru_stime.tv_usec) * 1000;
}

int64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

FrameStats::FrameStats(int64_t period_ns) : known_period_(period_ns > 0), sof_drops_(period_ns) {}

void FrameStats::Add(const FrameRecord& record) {
  ++frames_;
  if (record.error != vireo::CaptureError::SUCCESS) {
    ++errors_;
    ++errors_by_kind_[record.error];
    if (delivered_ != 0) ++failed_since_delivered_;
    return;
  }
  if (delivered_ == 0) first_sof_ns_ = record.sof_ns;
  last_sof_ns_ = record.sof_ns;
  ++delivered_;
  sof_drops_.Add(record.sof_ns, failed_since_delivered_);
  if (record.sensor_sequence < 0) {
    sequences_known_ = false;
  } else {
    if (last_sequence_ >= 0 && record.sensor_sequence > last_sequence_ + 1) {
      const uint64_t missing = static_cast<uint64_t>(record.sensor_sequence - last_sequence_ - 1);
      if (missing > failed_since_delivered_) {
        sequence_dropped_ += missing - failed_since_delivered_;
      }
    }
    last_sequence_ = record.sensor_sequence;
  }
  failed_since_delivered_ = 0;
  latency_.Add(record.dequeue_ns - record.eof_ns);
}

uint64_t FrameStats::dropped() const {
  return !known_period_ && sequences_known_ ? sequence_dropped_ : sof_drops_.dropped();
}

Summary FrameStats::Summarize() const {
  Summary summary;
  summary.frames = frames_;
  summary.errors = errors_;
  summary.errors_by_kind = errors_by_kind_;
  summary.dropped = dropped();
  if (delivered_ >= 2 && last_sof_ns_ > first_sof_ns_) {
    summary.average_fps = static_cast<double>(delivered_ - 1) * 1e9 /
                          static_cast<double>(last_sof_ns_ - first_sof_ns_);
  }
  summary.latency_p50_ns = latency_.Percentile(50);
  summary.latency_p99_ns = latency_.Percentile(99);
  return summary;
}

std::string FormatSummary(const Summary& summary, double cpu_ns_per_frame) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof(line), "frames: %" PRIu64 "\n", summary.frames);
  out += line;
  std::snprintf(line, sizeof(line), "errors: %" PRIu64, summary.errors);
  out += line;
  if (!summary.errors_by_kind.empty()) {
    std::string kinds;
    for (const auto& [error, count] : summary.errors_by_kind) {
      if (!kinds.empty()) kinds += ", ";
      std::snprintf(line, sizeof(line), "%s %" PRIu64, CaptureErrorName(error), count);
      kinds += line;
    }
    out += " (" + kinds + ")";
  }
  out += "\n";
  std::snprintf(line, sizeof(line), "dropped: %" PRIu64 "\n", summary.dropped);
  out += line;
  std::snprintf(line, sizeof(line), "average fps: %.2f\n", summary.average_fps);
  out += line;
  std::snprintf(line, sizeof(line), "EOF-to-dequeue latency: p50 %.3f ms, p99 %.3f ms\n",
                static_cast<double>(summary.latency_p50_ns) / 1e6,
                static_cast<double>(summary.latency_p99_ns) / 1e6);
  out += line;
  if (cpu_ns_per_frame >= 0) {
    std::snprintf(line, sizeof(line), "CPU per frame: %.1f us\n", cpu_ns_per_frame / 1e3);
    out += line;
  }
  return out;
}

}  // namespace talon_support
