// The rate talonsrc reads from a measured period and the wait for a frame
// that follows from it (src_settings.h: three periods and 500 ms for the
// host, of the measured period, else of framerate, else 5000 ms).

#include "gst/frame_rate.h"

#include <gtest/gtest.h>

#include "gst/src_settings.h"

namespace talon_gst {
namespace {

// Catches a wait that does not follow its rule (a stalled camera said too
// early, or never), a host's scheduling taken for a sensor's period, and
// a measured rate off its fraction.
TEST(FrameRateTest, WaitRuleAndMeasuredRate) {
  struct Case {
    guint timeout_ms;
    int fps_n, fps_d;
    int64_t measured_ns;
    uint32_t wait_ms;
    int rate_n, rate_d;  // of the period the wait uses
  };
  const Case cases[] = {
      {250, 30, 1, 10000000, 250, 100, 1},    // timeout-ms has the last word
      {0, 30, 1, 0, 599, 30, 1},              // framerate until a period is measured
      {0, 30, 1, 10000000, 530, 100, 1},      // then the measured period
      {0, 0, 1, 50000, 5000, 0, 1},           // below kMinPeriodNs: the host's, unknown
      {0, 1, 2, 0, 6500, 1, 2},               // a 0.5 fps sensor
      {0, 30000, 1001, 0, 600, 30000, 1001},  // 29.97 as the NTSC fraction
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait_ms);
    Settings settings;
    settings.timeout_ms = c.timeout_ms;
    settings.fps_n = c.fps_n;
    settings.fps_d = c.fps_d;
    EXPECT_EQ(FrameWaitMs(settings, c.measured_ns), c.wait_ms);
    const int64_t period =
        c.measured_ns >= kMinPeriodNs ? c.measured_ns : PeriodOfFraction(c.fps_n, c.fps_d);
    int n = -1, d = -1;
    FractionOfPeriod(period, &n, &d);
    EXPECT_EQ(n * c.rate_d, c.rate_n * d) << n << "/" << d;
    EXPECT_FALSE(RateDisagrees(c.fps_n, c.fps_d, PeriodOfFraction(c.fps_n, c.fps_d)));
  }
  EXPECT_TRUE(RateDisagrees(30, 1, 40000000));  // 25 fps against 30: more than 5 %
}

}  // namespace
}  // namespace talon_gst
