// A latency distribution in constant memory, for runs of any length: counts
// in log-linear buckets from which nearest-rank percentiles are read. Values
// below 128 ns have a bucket each; above, every power-of-two range of
// nanoseconds is split into 64 equal buckets, so a percentile (the middle of
// its bucket) is within 0.8 % of the exact nearest-rank value for every value
// up to 2^40 ns (about 18 minutes). Larger values share the top bucket and
// negative ones count as 0; a percentile never lies outside the smallest and
// largest value added.
//
// A plain value used by one thread at a time; it owns its counts (about
// 18 KB, allocated once at construction).

#ifndef SUPPORT_LATENCY_HISTOGRAM_H_
#define SUPPORT_LATENCY_HISTOGRAM_H_

#include <cstdint>
#include <vector>

namespace talon_support {

class LatencyHistogram {
 public:
  LatencyHistogram();

  void Add(int64_t ns);
  // Adds the values counted in `other`.
  void Merge(const LatencyHistogram& other);

  uint64_t count() const { return count_; }
  // Nearest-rank percentile (0 < p <= 100), within 0.8 % (see above); 0
  // when empty.
  int64_t Percentile(double p) const;

 private:
  std::vector<uint64_t> counts_;
  uint64_t count_ = 0;
  int64_t min_ = 0;
  int64_t max_ = 0;
};

}  // namespace talon_support

#endif  // SUPPORT_LATENCY_HISTOGRAM_H_
