// Where a frame lies on GStreamer's timelines, without a pipeline.

#include "gst/frame_timeline.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

namespace talon_gst {
namespace {

// Catches a PTS that is not the time since the first frame when the element
// has no clock yet, and a sensor frame count that does not read back from
// the meta by its documented name and field.
TEST(FrameTimelineTest, RunningTimeAndSensorCount) {
  gst_init(nullptr, nullptr);
  GstElement* element = gst_bin_new(nullptr);  // an element without a clock
  ASSERT_NE(element, nullptr);
  const struct {
    int64_t boottime_ns, origin_ns;
    GstClockTime running;
  } cases[] = {{5000000000, 5000000000, 0}, {5033333333, 5000000000, 33333333}};
  for (const auto& c : cases) {
    EXPECT_EQ(BoottimeToRunningTime(element, c.boottime_ns, c.origin_ns), c.running);
  }
  gst_object_unref(element);

  GstBuffer* buffer = gst_buffer_new();
  AddSensorFrameMeta(buffer, 41);
  GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, "TalonSensorFrameMeta");
  ASSERT_NE(meta, nullptr);
  guint64 sequence = 0;
  EXPECT_TRUE(gst_structure_get_uint64(gst_custom_meta_get_structure(meta), "sequence", &sequence));
  EXPECT_EQ(sequence, 41u);
  gst_buffer_unref(buffer);
}

}  // namespace
}  // namespace talon_gst
