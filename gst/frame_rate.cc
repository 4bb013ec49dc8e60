#include "gst/frame_rate.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace talon_gst {

GstCaps* OfferedCaps(const vireo::CaptureStreamConfig& stream, Cfa cfa, bool half_size, int fps_n,
                     int fps_d, std::string* error) {
  GstCaps* caps = StreamCaps(stream, cfa, half_size, fps_n, fps_d, error);
  if (caps != nullptr && fps_n == 0) {
    gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
  }
  return caps;
}

GstCaps* FixateToRate(GstCaps* caps, int fps_n, int fps_d) {
  caps = gst_caps_truncate(caps);
  caps = gst_caps_make_writable(caps);
  GstStructure* s = gst_caps_get_structure(caps, 0);
  if (fps_n > 0 && gst_structure_has_field(s, "framerate")) {
    gst_structure_fixate_field_nearest_fraction(s, "framerate", fps_n, fps_d);
  }
  return gst_caps_fixate(caps);
}

void FractionOfFps(double fps, int* n, int* d) {
  *n = 0;
  *d = 1;
  if (!(fps > 0) || fps > 1e6) return;
  for (const int common : {24000, 30000, 60000}) {
    if (std::fabs(fps - common / 1001.0) < 0.01) {
      *n = common;
      *d = 1001;
      return;
    }
  }
  const int64_t millis = std::llround(fps * 1000);
  const int64_t gcd = std::gcd(millis, int64_t{1000});
  if (millis == 0) return;
  *n = static_cast<int>(millis / gcd);
  *d = static_cast<int>(1000 / gcd);
}

void FractionOfPeriod(int64_t period_ns, int* n, int* d) {
  if (period_ns < kMinPeriodNs) {
    *n = 0;
    *d = 1;
    return;
  }
  FractionOfFps(1e9 / static_cast<double>(period_ns), n, d);
}

uint32_t FrameBuffersFor(GstClockTime latency, int64_t period_ns, uint32_t limit) {
  if (period_ns <= 0 || !GST_CLOCK_TIME_IS_VALID(latency)) return 0;
  const uint64_t periods =
      (latency + static_cast<uint64_t>(period_ns) - 1) / static_cast<uint64_t>(period_ns);
  return static_cast<uint32_t>(std::min<uint64_t>(periods + 3, limit));
}

int64_t PeriodOfFraction(int n, int d) {
  return n > 0 ? static_cast<int64_t>(gst_util_uint64_scale_int(GST_SECOND, d, n)) : 0;
}

bool RateDisagrees(int n, int d, int64_t period_ns) {
  const int64_t negotiated = PeriodOfFraction(n, d);
  if (negotiated == 0 || period_ns < kMinPeriodNs) return false;
  return std::llabs(period_ns - negotiated) * 100 > negotiated * 5;
}

bool RateTracker::RecordConversion(int64_t ns) {
  if (ns <= worst_ns_) return false;
  worst_ns_ = ns;
  // Announced again when it grew by a millisecond and a quarter.
  if (ns - announced_ns_ < 1000000 || ns < announced_ns_ + announced_ns_ / 4) return false;
  announced_ns_ = ns;
  return true;
}

int64_t RateTracker::period_ns() const {
  const int64_t period = period_ns_;
  return period > 0 ? period : PeriodOfFraction(kAssumedFps, 1);
}

GstClockTime RateTracker::MinLatency() const {
  const int64_t period = period_ns();
  const int64_t worst = worst_ns_;
  const int64_t conversion = worst > 0 ? worst : period / 2;
  return static_cast<GstClockTime>(period * (holding_ ? 2 : 1) + conversion);
}

GstClockTime RateTracker::MaxLatency(uint32_t max_buffers) const {
  // Three of them stay with the capture (FrameBuffersFor).
  const int64_t held = max_buffers > 3 ? max_buffers - 3 : 1;
  return MinLatency() + static_cast<GstClockTime>(period_ns() * held);
}

}  // namespace talon_gst
