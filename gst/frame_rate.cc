#include "gst/frame_rate.h"

#include <cmath>
#include <cstdlib>

namespace talon_gst {

GstCaps* OfferedCaps(const vireo::CaptureStreamConfig& stream, Cfa cfa, bool half_size,
                     int fps_n, int fps_d, std::string* error) {
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

void FractionOfPeriod(int64_t period_ns, int* n, int* d) {
  if (period_ns < kMinPeriodNs) {
    *n = 0;
    *d = 1;
    return;
  }
  const double fps = std::round(1e12 / static_cast<double>(period_ns)) / 1000;
  gst_util_double_to_fraction(fps, n, d);
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

GstClockTime RateTracker::MinLatency() const {
  const int64_t period = period_ns_;
  if (period <= 0) return 0;
  return static_cast<GstClockTime>(period + worst_ns_);
}

}  // namespace talon_gst
