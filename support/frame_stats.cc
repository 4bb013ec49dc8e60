#include "support/frame_stats.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
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

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  if (index >= values.size()) index = values.size() - 1;
  return values[index];
}

int64_t MedianPeriodNs(const std::vector<int64_t>& sof_ns) {
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < sof_ns.size(); ++i) {
    if (sof_ns[i] > sof_ns[i - 1]) gaps.push_back(sof_ns[i] - sof_ns[i - 1]);
  }
  if (gaps.empty()) return 0;
  const size_t middle = gaps.size() / 2;
  std::nth_element(gaps.begin(), gaps.begin() + middle, gaps.end());
  return gaps[middle];
}

uint64_t CountDropped(const std::vector<int64_t>& sof_ns) {
  return CountDroppedWithPeriod(sof_ns, MedianPeriodNs(sof_ns));
}

uint64_t CountDroppedWithPeriod(const std::vector<int64_t>& sof_ns, int64_t period) {
  if (period <= 0) return 0;
  uint64_t dropped = 0;
  for (size_t i = 1; i < sof_ns.size(); ++i) {
    const int64_t gap = sof_ns[i] - sof_ns[i - 1];
    if (gap <= 0) continue;
    const int64_t periods = std::llround(static_cast<double>(gap) / static_cast<double>(period));
    if (periods > 1) dropped += static_cast<uint64_t>(periods - 1);
  }
  return dropped;
}

void FrameStats::Add(const FrameRecord& record) {
  ++frames_;
  if (record.error != vireo::CaptureError::SUCCESS) {
    ++errors_;
    ++errors_by_kind_[record.error];
    return;
  }
  sof_ns_.push_back(record.sof_ns);
  latency_ns_.push_back(record.dequeue_ns - record.eof_ns);
  sequences_.push_back(record.sensor_sequence);
}

namespace {

// Sensor frames between consecutive known sequence numbers; false when a
// sequence is unknown.
bool CountDroppedBySequence(const std::vector<int64_t>& sequences, uint64_t* dropped) {
  uint64_t count = 0;
  for (size_t i = 0; i < sequences.size(); ++i) {
    if (sequences[i] < 0) return false;
    if (i > 0 && sequences[i] > sequences[i - 1] + 1) {
      count += static_cast<uint64_t>(sequences[i] - sequences[i - 1] - 1);
    }
  }
  *dropped = count;
  return true;
}

}  // namespace

Summary FrameStats::Summarize() const { return Summarize(0); }

Summary FrameStats::Summarize(int64_t period_ns) const {
  Summary summary;
  summary.frames = frames_;
  summary.errors = errors_;
  summary.errors_by_kind = errors_by_kind_;
  if (period_ns > 0) {
    summary.dropped = CountDroppedWithPeriod(sof_ns_, period_ns);
  } else if (!CountDroppedBySequence(sequences_, &summary.dropped)) {
    summary.dropped = CountDropped(sof_ns_);
  }
  if (sof_ns_.size() >= 2 && sof_ns_.back() > sof_ns_.front()) {
    summary.average_fps = static_cast<double>(sof_ns_.size() - 1) * 1e9 /
                          static_cast<double>(sof_ns_.back() - sof_ns_.front());
  }
  summary.latency_p50_ns = Percentile(latency_ns_, 50);
  summary.latency_p99_ns = Percentile(latency_ns_, 99);
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
      std::snprintf(line, sizeof(line), "%s %" PRIu64, vireo::GetCaptureErrorDesc(error), count);
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
