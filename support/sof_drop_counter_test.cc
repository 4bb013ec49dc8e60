#include "support/sof_drop_counter.h"

#include <gtest/gtest.h>

#include <vector>

namespace talon_support {
namespace {

constexpr int64_t kPeriod = 33333333;

uint64_t CountDropped(const std::vector<int64_t>& sof, int64_t period_ns = 0) {
  SofDropCounter counter(period_ns);
  for (int64_t t : sof) counter.Add(t);
  return counter.dropped();
}

// Catches drops miscounted from jittery gaps, a period estimated from the
// mean (which drops inflate), and a division by a zero period.
TEST(SofDropCounter, DroppedFramesFromSofGaps) {
  std::vector<int64_t> sof;
  int64_t t = 1000000000;
  for (int i = 0; i < 10; ++i) {
    sof.push_back(t + (i % 2 == 0 ? 200000 : -200000));  // jitter, no drop
    t += kPeriod;
  }
  EXPECT_EQ(CountDropped(sof), 0u);
  sof.push_back(sof.back() + 3 * kPeriod);  // two frames missing
  sof.push_back(sof.back() + 2 * kPeriod);  // one more
  SofDropCounter counter;
  for (int64_t s : sof) counter.Add(s);
  EXPECT_EQ(counter.period_ns(), sof[2] - sof[1]);
  EXPECT_EQ(CountDropped(sof), 3u);
  EXPECT_EQ(CountDropped({5, 5, 5}), 0u);  // unthrottled: no period
  EXPECT_EQ(CountDropped({5}), 0u);
  // Every other frame missing: the median sees no drop, the known period does.
  const std::vector<int64_t> every_other = {0, 2 * kPeriod, 4 * kPeriod, 6 * kPeriod};
  EXPECT_EQ(CountDropped(every_other), 0u);
  EXPECT_EQ(CountDropped(every_other, kPeriod), 3u);
}

// Catches the drops of a long run lost or counted twice where the counter
// goes from holding its first gaps to judging against its estimate, or an
// estimate that does not follow a sensor clock that drifts by 10 %.
TEST(SofDropCounter, DroppedFramesOverALongRun) {
  std::vector<int64_t> sof;
  uint64_t expected = 0;
  int64_t t = 1000000000;
  for (int i = 0; i < 1000; ++i) {
    const int64_t period = kPeriod + kPeriod / 10 * i / 1000;
    const int missing = i % 37 == 5 ? 1 + i % 3 : 0;
    expected += static_cast<uint64_t>(missing);
    t += (missing + 1) * period;
    sof.push_back(t + (i % 2 == 0 ? 300000 : -300000));
  }
  EXPECT_EQ(CountDropped(sof), expected);
  EXPECT_EQ(CountDropped({sof.begin(), sof.begin() + 40}), 3u);  // all still held
}

}  // namespace
}  // namespace talon_support
