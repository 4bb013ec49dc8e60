// Sensor frames that no buffer received, counted from the start-of-frame
// times of the delivered frames as they arrive, in constant memory, for
// capture clients that cannot read the sensor's own frame sequence.
//
// A plain value used by one thread at a time.

#ifndef SUPPORT_SOF_DROP_COUNTER_H_
#define SUPPORT_SOF_DROP_COUNTER_H_

#include <cstddef>
#include <cstdint>

namespace talon_support {

// Sensor frames that fell between consecutive delivered frames, counted from
// their start-of-frame times as they arrive: round(gap / period) - 1 per
// gap. The period is the sensor's known one, or estimated: the median of each
// block of 64 consecutive gaps, used for the block after it (so it follows a
// drifting clock); the gaps before the first estimate are held and counted
// when it exists. Failed frames within a gap are no drops. No drop is
// counted while no period can be estimated (unthrottled sensor, too few
// frames).
class SofDropCounter {
 public:
  // `period_ns` > 0: the sensor's known period (a loop that misses every
  // other frame has a regular gap that the median takes for the period).
  explicit SofDropCounter(int64_t period_ns = 0);

  // The next delivered frame's start. `failed_between`: buffers that came
  // back failed since the last delivered frame; each stands for one sensor
  // frame of the gap that a buffer did receive (an error, not a drop).
  void Add(int64_t sof_ns, uint64_t failed_between = 0);
  // The drops so far; gaps still held are counted against their median.
  uint64_t dropped() const;
  // The period in use: known, estimated, or the median of the gaps held so
  // far; 0 with no usable gap.
  int64_t period_ns() const;

 private:
  static constexpr size_t kBlock = 64;

  const int64_t known_period_ns_;
  int64_t estimate_ns_ = 0;  // median of the last full block; 0 before the first
  int64_t last_sof_ns_ = 0;
  bool have_sof_ = false;
  int64_t block_[kBlock] = {};          // positive gaps of the block being filled
  uint64_t block_failed_[kBlock] = {};  // the failed frames within each
  size_t block_size_ = 0;
  uint64_t dropped_ = 0;  // of the gaps judged so far
};

}  // namespace talon_support

#endif  // SUPPORT_SOF_DROP_COUNTER_H_
