#include "gst/frame_timeline.h"

#include "base/boottime.h"

namespace talon_gst {

// The boot time read between two readings of the pipeline clock that lie
// close together, so that a preemption between the reads cannot move a
// frame's PTS.
GstClockTime BoottimeToRunningTime(GstElement* element, int64_t boottime_ns, int64_t origin_ns) {
  GstClock* clock = gst_element_get_clock(element);
  if (clock == nullptr) return static_cast<GstClockTime>(boottime_ns - origin_ns);
  int64_t clock_now = 0;
  int64_t boot_now = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int64_t before = static_cast<int64_t>(gst_clock_get_time(clock));
    boot_now = vireo::BoottimeNs();
    const int64_t after = static_cast<int64_t>(gst_clock_get_time(clock));
    clock_now = before + (after - before) / 2;
    if (after - before < 20000) break;
  }
  gst_object_unref(clock);
  const int64_t running = clock_now - (boot_now - boottime_ns) -
                          static_cast<int64_t>(gst_element_get_base_time(element));
  return running > 0 ? static_cast<GstClockTime>(running) : 0;
}

void AddSensorFrameMeta(GstBuffer* buffer, uint64_t sequence) {
  static const gchar* tags[] = {nullptr};
  static const GstMetaInfo* const info =
      gst_meta_register_custom(kSensorFrameMeta, tags, nullptr, nullptr, nullptr);
  (void)info;
  GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kSensorFrameMeta);
  gst_structure_set(gst_custom_meta_get_structure(meta), "sequence", G_TYPE_UINT64, sequence,
                    nullptr);
}

}  // namespace talon_gst
