#include "support/latency_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace talon_support {
namespace {

// Nearest-rank percentile of `values`, exactly.
int64_t ExactPercentile(std::vector<int64_t> values, double p) {
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const size_t index = rank < 1 ? 0 : std::min(values.size(), static_cast<size_t>(rank)) - 1;
  return values[index];
}

// Catches off-by-one ranks (p99 of 100 values must be the 99th, not the
// 100th), inexact small values and a crash on an empty histogram.
TEST(LatencyHistogram, PercentileIsNearestRank) {
  LatencyHistogram histogram;
  EXPECT_EQ(histogram.Percentile(50), 0);
  for (int64_t i = 100; i >= 1; --i) histogram.Add(i);
  EXPECT_EQ(histogram.Percentile(50), 50);
  EXPECT_EQ(histogram.Percentile(99), 99);
  EXPECT_EQ(histogram.Percentile(100), 100);
  LatencyHistogram one;
  one.Add(7000000);
  EXPECT_EQ(one.Percentile(99), 7000000);
}

// Catches buckets too coarse, a bucket index computed wrongly at a power of
// two, and ranks lost in merging: percentiles of latency sets shaped like
// real ones (a tight mode with a tail, two modes, a spread over 1 us to 10 s)
// agree within 1 % with the exact ones.
TEST(LatencyHistogram, PercentilesWithinOnePercent) {
  std::mt19937_64 random(20);  // the engine's output is fixed by the standard
  auto uniform = [&random] { return static_cast<double>(random() >> 11) / 9007199254740992.0; };
  struct Shape {
    const char* name;
    std::function<int64_t()> next;
  };
  const Shape shapes[] = {
      {"wake-up tail",
       [&] { return 40000 + static_cast<int64_t>(-20000 * std::log(1 - uniform())); }},
      {"two modes",
       [&] {
         return uniform() < 0.9 ? 50000 + static_cast<int64_t>(uniform() * 1000)
                                : 1000000 + static_cast<int64_t>(uniform() * 900000);
       }},
      {"1 us to 10 s", [&] { return static_cast<int64_t>(1000 * std::pow(1e7, uniform())); }},
      {"powers of two", [&] { return int64_t{1} << (10 + random() % 24); }},
  };
  for (const Shape& shape : shapes) {
    std::vector<int64_t> values;
    LatencyHistogram first_half, second_half;
    for (int i = 0; i < 20000; ++i) {
      values.push_back(shape.next());
      (i % 2 == 0 ? first_half : second_half).Add(values.back());
    }
    first_half.Merge(second_half);
    ASSERT_EQ(first_half.count(), values.size());
    for (double p : {1.0, 10.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
      const double exact = static_cast<double>(ExactPercentile(values, p));
      EXPECT_NEAR(static_cast<double>(first_half.Percentile(p)), exact, exact * 0.01)
          << shape.name << " p" << p;
    }
  }
}

}  // namespace
}  // namespace talon_support
