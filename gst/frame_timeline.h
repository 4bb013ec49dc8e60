// Where a frame lies on GStreamer's timelines: its start of frame
// (CLOCK_BOOTTIME) as running time of the pipeline clock, and the sensor's
// frame count carried on each buffer (its gaps are the capture session's
// count, support/capture_session.h).
//
// The sensor frame count is a custom meta named "TalonSensorFrameMeta"
// (gst_buffer_get_custom_meta), field "sequence" (guint64): the sensor's
// frames since the start of the run, gaps included.
//
// Pure functions; callable from any thread.

#ifndef GST_FRAME_TIMELINE_H_
#define GST_FRAME_TIMELINE_H_

#include <gst/gst.h>

#include <cstdint>

namespace talon_gst {

inline constexpr char kSensorFrameMeta[] = "TalonSensorFrameMeta";

// CLOCK_BOOTTIME nanoseconds to the running time of `element`'s clock;
// without a clock, the time since `origin_ns`.
GstClockTime BoottimeToRunningTime(GstElement* element, int64_t boottime_ns, int64_t origin_ns);

void AddSensorFrameMeta(GstBuffer* buffer, uint64_t sequence);

}  // namespace talon_gst

#endif  // GST_FRAME_TIMELINE_H_
