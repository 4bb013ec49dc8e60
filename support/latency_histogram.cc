#include "support/latency_histogram.h"

#include <algorithm>
#include <cmath>

namespace talon_support {
namespace {

// Each power-of-two range [2^k, 2^(k+1)) with k >= kSubBits + 1 is split
// into kSub buckets of width 2^(k - kSubBits); values below 2 * kSub have a
// bucket each.
constexpr int kSubBits = 6;
constexpr int64_t kSub = int64_t{1} << kSubBits;
constexpr int kTopBit = 39;  // the highest power of two with buckets of its own
constexpr size_t kBuckets = 2 * kSub + (kTopBit - kSubBits) * kSub;

size_t BucketOf(int64_t ns) {
  if (ns < 2 * kSub) return ns < 0 ? 0 : static_cast<size_t>(ns);
  const int top = 63 - __builtin_clzll(static_cast<uint64_t>(ns));
  if (top > kTopBit) return kBuckets - 1;
  const int shift = top - kSubBits;
  const int64_t sub = (ns >> shift) - kSub;
  return static_cast<size_t>(2 * kSub + (top - kSubBits - 1) * kSub + sub);
}

// The middle of bucket `index`.
int64_t MiddleOf(size_t index) {
  const int64_t i = static_cast<int64_t>(index);
  if (i < 2 * kSub) return i;
  const int64_t above = i - 2 * kSub;
  const int shift = static_cast<int>(above / kSub) + 1;
  const int64_t low = (kSub + above % kSub) << shift;
  return low + (int64_t{1} << shift) / 2;
}

}  // namespace

LatencyHistogram::LatencyHistogram() : counts_(kBuckets, 0) {}

void LatencyHistogram::Add(int64_t ns) {
  ns = std::max<int64_t>(ns, 0);
  ++counts_[BucketOf(ns)];
  min_ = count_ == 0 ? ns : std::min(min_, ns);
  max_ = count_ == 0 ? ns : std::max(max_, ns);
  ++count_;
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  if (other.count_ == 0) return;
  for (size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
  min_ = count_ == 0 ? other.min_ : std::min(min_, other.min_);
  max_ = count_ == 0 ? other.max_ : std::max(max_, other.max_);
  count_ += other.count_;
}

int64_t LatencyHistogram::Percentile(double p) const {
  if (count_ == 0) return 0;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(count_));
  const uint64_t wanted = rank < 1 ? 1 : std::min(count_, static_cast<uint64_t>(rank));
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += counts_[i];
    if (seen >= wanted) return std::clamp(MiddleOf(i), min_, max_);
  }
  return max_;
}

}  // namespace talon_support
