#include "support/frame_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talon_support {
namespace {

constexpr int64_t kPeriod = 33333333;

// Catches failed frames counted into latency, fps or drops, and errors not
// sorted by kind.
TEST(FrameStats, SummaryKeepsFailuresApart) {
  FrameStats stats;
  int64_t t = 1000000000;
  for (int i = 0; i < 5; ++i) {
    stats.Add({vireo::CaptureError::SUCCESS, t, t + 1000, t + 1000 + (i + 1) * 10000});
    t += kPeriod;
  }
  stats.Add({vireo::CaptureError::TIMEOUT, 0, 0, t});
  stats.Add({vireo::CaptureError::TIMEOUT, 0, 0, t});
  stats.Add({vireo::CaptureError::CAPTURE_CANCELLED, 0, 0, t});
  const Summary summary = stats.Summarize();
  EXPECT_EQ(summary.frames, 8u);
  EXPECT_EQ(summary.errors, 3u);
  EXPECT_EQ(summary.errors_by_kind.at(vireo::CaptureError::TIMEOUT), 2u);
  EXPECT_EQ(summary.errors_by_kind.at(vireo::CaptureError::CAPTURE_CANCELLED), 1u);
  EXPECT_EQ(summary.dropped, 0u);
  EXPECT_NEAR(summary.average_fps, 30.0, 0.01);
  EXPECT_NEAR(summary.latency_p50_ns, 30000, 300);  // the histogram's 1 %
  EXPECT_NEAR(summary.latency_p99_ns, 50000, 500);
  const std::string text = FormatSummary(summary, 1500);
  EXPECT_NE(text.find("errors: 3 (TIMEOUT 2, CAPTURE_CANCELLED 1)"), std::string::npos) << text;
  EXPECT_NE(text.find("dropped: 0"), std::string::npos);
}

// Catches a client that misses every few sensor frames with a regular gap
// being reported as dropping nothing: with the sensor's sequence known, the
// gaps count, whatever the timestamps suggest.
TEST(FrameStats, DroppedFramesFromSequenceGaps) {
  FrameStats stats;
  int64_t t = 1000000000;
  for (int64_t sequence = 21; sequence <= 45; sequence += 6) {
    stats.Add({vireo::CaptureError::SUCCESS, t, t + 1000, t + 2000, sequence});
    t += 6 * kPeriod;
  }
  EXPECT_EQ(stats.Summarize().dropped, 20u);
  // One frame of unknown sequence: back to the timestamp estimate, which
  // sees a regular gap as the period.
  stats.Add({vireo::CaptureError::SUCCESS, t, t + 1000, t + 2000, -1});
  EXPECT_EQ(stats.Summarize().dropped, 0u);
}

// Catches a failed frame counted twice, as an error and as a drop: the
// buffer that came back failed received the sensor frame missing between its
// neighbours, whether the drops come from the sensor's sequence or from the
// start-of-frame gaps. A real drop beside it still counts.
TEST(FrameStats, FailedFrameIsNoDrop) {
  const struct {
    bool sequence_known;
    int64_t skipped;  // sensor frames between the neighbours of the failed one
    uint64_t dropped;
  } cases[] = {{true, 1, 0}, {false, 1, 0}, {true, 3, 2}, {false, 3, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sequence_known) + " " + std::to_string(c.skipped));
    FrameStats stats;
    int64_t t = 1000000000;
    int64_t sequence = 1;
    for (int i = 0; i < 100; ++i) {
      if (i == 50) {
        stats.Add({vireo::CaptureError::TIMEOUT, 0, 0, t});
        t += c.skipped * kPeriod;
        sequence += c.skipped;
      }
      stats.Add(
          {vireo::CaptureError::SUCCESS, t, t + 1000, t + 2000, c.sequence_known ? sequence : -1});
      t += kPeriod;
      ++sequence;
    }
    const Summary summary = stats.Summarize();
    EXPECT_EQ(summary.errors, 1u);
    EXPECT_EQ(summary.dropped, c.dropped);
  }
}

}  // namespace
}  // namespace talon_support
