#include "support/sof_drop_counter.h"

#include <algorithm>
#include <cmath>

namespace talon_support {
namespace {

// The upper median of `gaps` (reordered).
int64_t Median(int64_t* gaps, size_t count) {
  std::nth_element(gaps, gaps + count / 2, gaps + count);
  return gaps[count / 2];
}

uint64_t DroppedInGap(int64_t gap_ns, int64_t period_ns, uint64_t failed) {
  const int64_t periods =
      std::llround(static_cast<double>(gap_ns) / static_cast<double>(period_ns));
  const uint64_t missing = periods > 1 ? static_cast<uint64_t>(periods - 1) : 0;
  return missing > failed ? missing - failed : 0;
}

}  // namespace

SofDropCounter::SofDropCounter(int64_t period_ns)
    : known_period_ns_(std::max<int64_t>(period_ns, 0)) {}

void SofDropCounter::Add(int64_t sof_ns, uint64_t failed_between) {
  const int64_t gap = sof_ns - last_sof_ns_;
  const bool first = !have_sof_;
  have_sof_ = true;
  last_sof_ns_ = sof_ns;
  if (first || gap <= 0) return;
  if (known_period_ns_ > 0) {
    dropped_ += DroppedInGap(gap, known_period_ns_, failed_between);
    return;
  }
  if (estimate_ns_ > 0) dropped_ += DroppedInGap(gap, estimate_ns_, failed_between);
  block_failed_[block_size_] = failed_between;
  block_[block_size_++] = gap;
  if (block_size_ < kBlock) return;
  const bool held = estimate_ns_ == 0;
  estimate_ns_ = Median(block_, block_size_);
  if (held) {
    for (size_t i = 0; i < block_size_; ++i) {
      dropped_ += DroppedInGap(block_[i], estimate_ns_, block_failed_[i]);
    }
  }
  block_size_ = 0;
}

uint64_t SofDropCounter::dropped() const {
  if (known_period_ns_ > 0 || estimate_ns_ > 0 || block_size_ == 0) return dropped_;
  const int64_t period = period_ns();
  uint64_t dropped = dropped_;
  for (size_t i = 0; i < block_size_; ++i) {
    dropped += DroppedInGap(block_[i], period, block_failed_[i]);
  }
  return dropped;
}

int64_t SofDropCounter::period_ns() const {
  if (known_period_ns_ > 0) return known_period_ns_;
  if (estimate_ns_ > 0 || block_size_ == 0) return estimate_ns_;
  int64_t held[kBlock];
  std::copy(block_, block_ + block_size_, held);
  return Median(held, block_size_);
}

}  // namespace talon_support
