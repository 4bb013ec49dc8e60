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
  EXPECT_NE(text.find("errors: 3 (timeout 2, capture cancelled 1)"), std::string::npos) << text;
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

}  // namespace
}  // namespace talon_support
