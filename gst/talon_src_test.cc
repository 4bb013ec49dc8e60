// talonsrc in GstHarness on the simulated IPU (200 fps, so that a test
// takes a fraction of a second): caps per data type, pixels against the
// CSI-2 unpacker, timestamps and offsets, three pads in step, state cycles,
// per-frame errors, EOS and refused configurations.

#include "gst/talon_src.h"

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "gst/frame_rate.h"
#include "platform/prism/prism_sim.h"
#include "support/csi2_unpack.h"

// A pipeline (GstPipeline, its bus and clock) leaves one 16 KB block of
// GLib's own unreferenced at exit, allocated by GLib's constructor (seen as
// well with `gst-launch-1.0 videotestsrc ! fakesink` under ASan); GLib's
// frames carry no frame pointers, so only its module can name it. Objects
// of ours allocated through GLib are checked by talonsrc_leaks (GStreamer's
// leaks tracer), C++ allocations by LeakSanitizer.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\n";
}

namespace {

constexpr double kFps = 200;
constexpr int64_t kPeriodNs = 5000000;

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    gst_element_register(nullptr, "talonsrc", GST_RANK_NONE, GST_TYPE_TALON_SRC);
    PrismSimSetFrameRate(kFps);
  }
  // The leaks tracer reports at deinit (talonsrc_leaks runs this binary).
  void TearDown() override { gst_deinit(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

// A talonsrc with one harness per pad and a bus.
class Source {
 public:
  // `streams`: the stream of src, then one request pad per further entry.
  explicit Source(const std::vector<std::string>& streams, const char* properties = "") {
    element_ = gst_element_factory_make("talonsrc", nullptr);
    gst_util_set_object_arg(G_OBJECT(element_), "stream", streams[0].c_str());
    SetProperties(properties);
    bus_ = gst_bus_new();
    gst_element_set_bus(element_, bus_);
    for (size_t i = 0; i < streams.size(); ++i) {
      const std::string pad = i == 0 ? "src" : "src_" + std::to_string(i - 1);
      harnesses_.push_back(gst_harness_new_with_element(element_, nullptr, pad.c_str()));
      gst_harness_use_systemclock(harnesses_.back());
      if (i > 0) {
        GstPad* p = gst_element_get_static_pad(element_, pad.c_str());
        g_object_set(p, "stream", streams[i].c_str(), nullptr);
        gst_object_unref(p);
      }
    }
  }
  ~Source() {
    for (GstHarness* h : harnesses_) gst_harness_teardown(h);
    gst_element_set_bus(element_, nullptr);
    gst_object_unref(bus_);
    gst_object_unref(element_);
  }

  void SetProperties(const char* properties) {
    gchar** pairs = g_strsplit(properties, " ", -1);
    for (gchar** p = pairs; *p != nullptr; ++p) {
      gchar** kv = g_strsplit(*p, "=", 2);
      if (kv[0] != nullptr && kv[1] != nullptr) {
        gst_util_set_object_arg(G_OBJECT(element_), kv[0], kv[1]);
      }
      g_strfreev(kv);
    }
    g_strfreev(pairs);
  }

  GstHarness* h(size_t i = 0) { return harnesses_[i]; }
  GstBus* bus() { return bus_; }
  GstElement* element() { return element_; }
  GstStateChangeReturn Play() { return gst_element_set_state(element_, GST_STATE_PLAYING); }
  // The text of the next warning or error on the bus; empty after `ms`.
  std::string NextMessage(GstMessageType type, int ms = 5000, GstMessageType* got = nullptr) {
    GstMessage* m = gst_bus_timed_pop_filtered(bus_, ms * GST_MSECOND, type);
    if (m == nullptr) return "";
    if (got != nullptr) *got = GST_MESSAGE_TYPE(m);
    GError* error = nullptr;
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, nullptr);
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING) gst_message_parse_warning(m, &error, nullptr);
    std::string text = error != nullptr ? error->message : "";
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_QOS) {
      gint64 jitter = 0;
      gst_message_parse_qos_values(m, &jitter, nullptr, nullptr);
      text = jitter > 0 ? "qos" : "qos without jitter";
    }
    g_clear_error(&error);
    gst_message_unref(m);
    return text;
  }

 private:
  GstElement* element_;
  GstBus* bus_;
  std::vector<GstHarness*> harnesses_;
};

// The negotiated caps as "<media type> <format> <width>x<height>".
std::string CapsOf(GstHarness* h) {
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  if (caps == nullptr) return "";
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  int width = 0, height = 0;
  gst_structure_get_int(s, "width", &width);
  gst_structure_get_int(s, "height", &height);
  std::string text = std::string(gst_structure_get_name(s)) + " " +
                     gst_structure_get_string(s, "format") + " " + std::to_string(width) + "x" +
                     std::to_string(height);
  gst_caps_unref(caps);
  return text;
}

// Catches wrong caps, widths or conversions per data type, data types that
// should be refused but pass, pictures of the wrong size or layout (odd RGB
// rows are padded to 4 bytes), a consumer of pictures given GRAY16_LE's grey
// samples, and a size NV12 cannot hold that is not refused with the reason.
TEST(TalonSrcTest, CapsPerDataType) {
  struct Case {
    const char* stream;
    const char* properties;
    const char* sink_caps;  // null: anything
    const char* caps;       // expected; null: refused with `error`
    size_t bytes;
    const char* error;
  };
  const Case cases[] = {
      {"0x2A,64,4,8", "", nullptr, "video/x-bayer rggb 64x4", 256, nullptr},
      {"0x2A,64,4,8", "cfa=bggr", nullptr, "video/x-bayer bggr 64x4", 256, nullptr},
      {"0x2B,64,4,10", "", nullptr, "video/x-raw GRAY16_LE 64x4", 512, nullptr},
      {"0x2B,64,4,10", "", "video/x-bayer", "video/x-bayer rggb10le 64x4", 512, nullptr},
      {"0x2B,64,4,10", "", "video/x-bayer,format=rggb", "video/x-bayer rggb 64x4", 256, nullptr},
      {"0x2E,64,4,16", "", "video/x-bayer", "video/x-bayer rggb16le 64x4", 512, nullptr},
      {"0x2E,64,4,16", "", "video/x-bayer,format=grbg", nullptr, 0, "downstream accepts none"},
      {"0x2E,64,4,16", "cfa=grbg", "video/x-bayer,format=grbg", "video/x-bayer grbg 64x4", 256,
       nullptr},
      {"0x1E,64,4,8", "", nullptr, "video/x-raw UYVY 32x4", 256, nullptr},
      {"0x24,96,4,8", "", nullptr, "video/x-raw BGR 32x4", 384, nullptr},
      {"0x2B,64,4,10", "", "video/x-raw", "video/x-raw BGRx 64x4", 1024, nullptr},
      {"0x2E,64,4,16", "", "video/x-raw,format=I420", "video/x-raw I420 64x4", 384, nullptr},
      {"0x2A,66,4,8", "half-size=true", "video/x-raw,format=RGB", "video/x-raw RGB 33x2", 200,
       nullptr},
      {"0x2B,64,5,10", "", "video/x-raw,format=NV12", nullptr, 0,
       "src: NV12 needs an even width and height, not 64x5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stream) + " " + c.properties);
    Source src({c.stream}, c.properties);
    if (c.sink_caps != nullptr) gst_harness_set_sink_caps_str(src.h(), c.sink_caps);
    ASSERT_NE(src.Play(), GST_STATE_CHANGE_FAILURE);
    if (c.caps == nullptr) {
      EXPECT_NE(src.NextMessage(GST_MESSAGE_ERROR).find(c.error), std::string::npos);
      continue;
    }
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(CapsOf(src.h()), c.caps);
    EXPECT_EQ(gst_buffer_get_size(buffer), c.bytes);
    gst_buffer_unref(buffer);
  }
}

// Catches pixels that differ from the one unpacker's output of the same
// frame: in the lent data, after unpacking, after taking the top 8 bits,
// and with rows padded to 64 bytes re-strided; and GRAY16_LE of RAW10 left
// in the low 10 bits (black in every viewer) rather than spanning 16 bits.
TEST(TalonSrcTest, PixelsEqualTheUnpackedFrame) {
  struct Case {
    const char* stream;
    const char* sink_caps;
    int shift;  // output = unpacked sample >> shift
    bool full;  // output = the 10-bit sample scaled to 16 bits (GRAY16_LE)
  };
  const Case cases[] = {
      {"0x2A,40,6,8", nullptr, 0, false},
      {"0x2B,40,6,10", nullptr, 0, true},
      {"0x2B,40,6,10", "video/x-bayer,format=rggb10le", 0, false},
      {"0x2B,40,6,10", "video/x-bayer,format=rggb", 2, false},
      {"0x2B,42,6,10,1", nullptr, 0, true},
      {"0x2E,40,6,16", nullptr, 0, false},
      {"0x2E,40,6,16", "video/x-bayer,format=rggb", 8, false},
      {"0x2A,40,6,8,1", nullptr, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream);
    Source src({c.stream});
    if (c.sink_caps != nullptr) gst_harness_set_sink_caps_str(src.h(), c.sink_caps);
    src.Play();
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    unsigned dt, width, height, bits, pad = 0;
    ASSERT_GE(sscanf(c.stream, "%x,%u,%u,%u,%u", &dt, &width, &height, &bits, &pad), 4);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
    const bool wide = c.shift == 0 && bits != 8;
    const size_t out_bytes = wide ? 2 : 1;
    const size_t out_stride = (width * out_bytes + 3) / 4 * 4;
    ASSERT_GE(map.size, out_stride * height);
    // The frame's sequence from its stamp (row 0, pixels 0-3, top 8 bits).
    uint32_t sequence = 0;
    for (int i = 0; i < 4; ++i) {
      const uint32_t v = wide ? map.data[2 * i] | map.data[2 * i + 1] << 8 : map.data[i];
      sequence |= (wide ? v >> ((c.full ? 16 : bits) - 8) : v) << (8 * i);
    }
    const uint64_t stride = pad ? (talon_support::PayloadRowBytes(width, bits) + 63) / 64 * 64
                                : talon_support::PayloadRowBytes(width, bits);
    std::vector<uint8_t> payload(stride * height);
    PrismSimRenderFrame(payload.data(), stride, width, height, bits, sequence);
    std::vector<uint16_t> samples(width * height);
    ASSERT_TRUE(
        talon_support::UnpackCsi2(payload.data(), stride, width, height, bits, samples.data()));
    int mismatches = 0;
    for (unsigned y = 0; y < height; ++y) {
      for (unsigned x = 0; x < width; ++x) {
        const uint8_t* p = map.data + y * out_stride + x * out_bytes;
        const unsigned got = wide ? p[0] | p[1] << 8 : p[0];
        const unsigned sample = samples[y * width + x];
        mismatches += got != (c.full ? (sample << 6 | sample >> 4) : sample >> c.shift);
      }
    }
    EXPECT_EQ(mismatches, 0);
    gst_buffer_unmap(buffer, &map);
    gst_buffer_unref(buffer);
  }
}

// Catches pictures that are not in colour or in the wrong colours: R and B
// swapped, a wrong CFA phase, planes out of place. The simulator's bars
// (white, yellow, cyan, green, magenta, red, blue, black, moving one pixel
// a frame) must come out in that order, cyclically, along a row.
TEST(TalonSrcTest, PicturesShowTheBarsInOrder) {
  struct Case {
    const char* stream;
    const char* properties;
    const char* sink_caps;
    int r, g, b, bytes_per_px;  // where each colour lies in a pixel
  };
  const Case cases[] = {
      {"0x2B,256,16,10", "", "video/x-raw,format=RGB", 0, 1, 2, 3},
      {"0x2A,256,16,8", "half-size=true", "video/x-raw,format=BGRx", 2, 1, 0, 4},
      // The RGGB mosaic read as BGGR: R and B trade places.
      {"0x2E,256,16,16", "cfa=BGGR white-balance=1,1,1", "video/x-raw,format=RGBx", 2, 1, 0, 4},
  };
  // Channel presence of the bars, as 4 R + 2 G + B.
  const std::vector<int> bars = {7, 6, 3, 2, 5, 4, 1, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stream) + " " + c.properties);
    Source src({c.stream}, c.properties);
    gst_harness_set_sink_caps_str(src.h(), c.sink_caps);
    src.Play();
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    GstVideoInfo info;
    GstCaps* caps = gst_pad_get_current_caps(src.h()->sinkpad);
    ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
    gst_caps_unref(caps);
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
    const uint8_t* row = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) +
                         GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0) * (info.height / 2);
    // Runs of at least three pixels whose channels are each clearly on or
    // off; edges between bars are soft.
    std::vector<int> runs;
    int last = -1, length = 0;
    for (int x = 0; x < static_cast<int>(info.width); ++x) {
      const uint8_t* p = row + x * c.bytes_per_px;
      int colour = 0;
      for (int offset : {c.r, c.g, c.b}) {
        colour = p[offset] > 192 ? 2 * colour + 1 : p[offset] < 64 ? 2 * colour : -16;
      }
      length = colour == last ? length + 1 : 1;
      last = colour;
      if (length == 3 && colour >= 0 && (runs.empty() || runs.back() != colour)) {
        runs.push_back(colour);
      }
    }
    gst_video_frame_unmap(&frame);
    gst_buffer_unref(buffer);
    if (runs.size() == 9 && runs.front() == runs.back()) runs.pop_back();  // a bar split at x=0
    ASSERT_EQ(runs.size(), bars.size());
    const auto first = std::find(runs.begin(), runs.end(), bars[0]);
    std::rotate(runs.begin(), first, runs.end());
    EXPECT_EQ(runs, bars);
  }
}

// The sensor's frame count of a buffer (its TalonSensorFrameMeta).
uint64_t SensorFrame(GstBuffer* buffer) {
  GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, "TalonSensorFrameMeta");
  guint64 sequence = G_MAXUINT64;
  if (meta != nullptr) {
    gst_structure_get_uint64(gst_custom_meta_get_structure(meta), "sequence", &sequence);
  }
  return sequence;
}

// The dropped count of the last QoS message on `bus`; 0 with none.
uint64_t LastQosDropped(GstBus* bus) {
  guint64 dropped = 0;
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_QOS)) {
    gst_message_parse_qos_stats(m, nullptr, nullptr, &dropped);
    gst_message_unref(m);
  }
  return dropped;
}

void TimestampsFollowTheSensorWith(uint32_t planted) {
  Source src({"0x2A,64,4,8"});
  src.Play();
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  uint64_t last_sequence = 0;
  uint32_t first_stamp = 0;
  for (uint64_t i = 0; i < 8; ++i) {
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), i);
    EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), i + 1);
    EXPECT_EQ(GST_BUFFER_DURATION(buffer), static_cast<GstClockTime>(kPeriodNs));
    uint32_t stamp = 0;
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    ASSERT_EQ(PrismSimDecodeFrameSequence(map.data, 64, 64, 4, 8, &stamp), 0);
    gst_buffer_unmap(buffer, &map);
    if (i == 0) first_stamp = stamp;
    EXPECT_EQ(SensorFrame(buffer), stamp - first_stamp);
    if (i == 1) {
      EXPECT_GE(SensorFrame(buffer), 1u + planted);
    }
    if (i > 0) {
      const uint64_t frames = SensorFrame(buffer) - last_sequence;
      EXPECT_GE(frames, 1u);
      const double periods =
          static_cast<double>(GST_BUFFER_PTS(buffer) - last_pts) / static_cast<double>(kPeriodNs);
      EXPECT_NEAR(periods, static_cast<double>(frames), 0.2);
      EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT), frames > 1);
    }
    last_pts = GST_BUFFER_PTS(buffer);
    last_sequence = SensorFrame(buffer);
    gst_buffer_unref(buffer);
  }
  // Every sensor frame between the first and the last pushed is dropped.
  EXPECT_EQ(LastQosDropped(src.bus()), last_sequence - 7);
  GstQuery* latency = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_peer_query(src.h()->sinkpad, latency));
  GstClockTime min = 0;
  gst_query_parse_latency(latency, nullptr, &min, nullptr);
  EXPECT_GE(min, static_cast<GstClockTime>(kPeriodNs));  // plus the conversion
  gst_query_unref(latency);
}

// Catches timestamps off the sensor's timeline, offsets that skip or
// repeat (offset_end is offset + 1), and a sensor frame count that misses
// or invents dropped frames against the simulator's own stamp; with a gap
// planted between the first two frames, a period measured across it (twice
// the sensor's or more: durations, rate and later drops all wrong).
TEST(TalonSrcTest, TimestampsFollowTheSensor) {
  for (const uint32_t planted : {0u, 2u}) {
    SCOPED_TRACE(planted);
    PrismSimSetFrameSkip(1, planted);
    TimestampsFollowTheSensorWith(planted);
    PrismSimSetFrameSkip(0, 0);
  }
}

// Catches pads that drift apart: one frame must carry one timestamp and
// one offset on every pad.
TEST(TalonSrcTest, ThreeStreamsInStep) {
  Source src({"0x2A,64,4,8", "0x2B,64,4,10", "0x2E,32,4,16"});
  ASSERT_NE(src.Play(), GST_STATE_CHANGE_FAILURE);
  for (int i = 0; i < 5; ++i) {
    GstBuffer* b[3];
    for (int p = 0; p < 3; ++p) {
      b[p] = gst_harness_pull(src.h(p));
      ASSERT_NE(b[p], nullptr);
    }
    for (int p = 1; p < 3; ++p) {
      EXPECT_EQ(GST_BUFFER_PTS(b[p]), GST_BUFFER_PTS(b[0]));
      EXPECT_EQ(GST_BUFFER_OFFSET(b[p]), GST_BUFFER_OFFSET(b[0]));
    }
    for (GstBuffer* buffer : b) gst_buffer_unref(buffer);
  }
}

// Catches a hang when a state change meets a blocked dequeue, frames that
// do not resume, and (run under the leaks tracer, talonsrc_leaks) objects
// left alive after NULL.
TEST(TalonSrcTest, StateCycles) {
  // TALONSRC_TEST_CYCLES sets the count for a longer run by hand.
  const char* env = getenv("TALONSRC_TEST_CYCLES");
  const int cycles = env != nullptr ? atoi(env) : 10;
  Source src({"0x2A,64,4,8"});
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(cycle);
    const GstState low = cycle % 2 == 0 ? GST_STATE_PAUSED : GST_STATE_NULL;
    src.Play();
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    gst_buffer_unref(buffer);
    gst_element_set_state(src.element(), low);
    while ((buffer = gst_harness_try_pull(src.h())) != nullptr) gst_buffer_unref(buffer);
  }
  // Buffers still held downstream at NULL keep their frame buffers alive.
  src.Play();
  GstBuffer* held = gst_harness_pull(src.h());
  ASSERT_NE(held, nullptr);
  gst_element_set_state(src.element(), GST_STATE_NULL);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(held, &map, GST_MAP_READ));
  EXPECT_EQ(map.size, 256u);
  gst_buffer_unmap(held, &map);
  gst_buffer_unref(held);
}

// Catches a PLAYING→PAUSED→PLAYING cycle that cancels the runs in flight
// (they came back CAPTURE_CANCELLED when pausing paused the capture) or
// that warns.
TEST(TalonSrcTest, PauseCancelsNoFrame) {
  Source src({"0x2A,64,4,8"});
  src.Play();
  GstBuffer* buffer = gst_harness_pull(src.h());
  ASSERT_NE(buffer, nullptr);
  gst_buffer_unref(buffer);
  PrismSimRunStats before;
  PrismSimGetRunStats(&before);
  for (int cycle = 0; cycle < 3; ++cycle) {
    gst_element_set_state(src.element(), GST_STATE_PAUSED);
    while ((buffer = gst_harness_try_pull(src.h())) != nullptr) gst_buffer_unref(buffer);
    src.Play();
    buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    gst_buffer_unref(buffer);
  }
  PrismSimRunStats after;
  PrismSimGetRunStats(&after);
  EXPECT_EQ(after.cancelled, before.cancelled);
  EXPECT_EQ(src.NextMessage(GST_MESSAGE_WARNING, 0), "");
}

// Catches a per-frame error pushed downstream, or one that stops the
// stream before max-errors, or one that max-errors does not end.
TEST(TalonSrcTest, FrameErrors) {
  struct Case {
    const char* failpoints;
    const char* properties;
    bool stream_ends;
  };
  const Case cases[] = {
      {"OzyWaitForCompletionWithTimeout:5:3", "", false},
      {"OzyWaitForCompletionWithTimeout:5", "max-errors=3", true},
      // Defaults: a camera that fails every frame ends the stream.
      {"OzyWaitForCompletionWithTimeout:3", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failpoints);
    ASSERT_EQ(PrismSimSetFailpoints(c.failpoints), 0);
    Source src({"0x2A,64,4,8"}, c.properties);
    src.Play();
    const std::string first = src.NextMessage(GST_MESSAGE_WARNING);
    EXPECT_NE(first.find("frame dropped: capture error"), std::string::npos) << first;
    if (c.stream_ends) {
      // One ERROR naming the capture error, after few warnings, then EOS.
      int warnings = 1;
      std::string error;
      while (error.empty() && warnings < 100) {
        GstMessageType type = GST_MESSAGE_UNKNOWN;
        const std::string text = src.NextMessage(
            static_cast<GstMessageType>(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR), 5000, &type);
        if (type == GST_MESSAGE_UNKNOWN) break;
        if (type == GST_MESSAGE_ERROR) {
          error = text;
        } else {
          ++warnings;
        }
      }
      EXPECT_NE(error.find("capture errors in a row, the last"), std::string::npos) << error;
      EXPECT_LE(warnings, 3);
      GstEvent* event;
      while ((event = gst_harness_pull_event(src.h())) != nullptr &&
             GST_EVENT_TYPE(event) != GST_EVENT_EOS) {
        gst_event_unref(event);
      }
      ASSERT_NE(event, nullptr);
      gst_event_unref(event);
    } else {
      // Frames go on: the failed one is dropped, the gap is a DISCONT.
      bool discont_after_first = false;
      for (int i = 0; i < 3; ++i) {
        GstBuffer* buffer = gst_harness_pull(src.h());
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer), static_cast<uint64_t>(i));
        if (i > 0) discont_after_first |= GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        gst_buffer_unref(buffer);
      }
      EXPECT_TRUE(discont_after_first);
      EXPECT_EQ(src.NextMessage(GST_MESSAGE_QOS), "qos");
    }
    PrismSimSetFailpoints("");
  }
}

// Pulls events until EOS; false when buffers come first or none comes.
bool PullEos(GstHarness* h) {
  GstEvent* event;
  while ((event = gst_harness_pull_event(h)) != nullptr && GST_EVENT_TYPE(event) != GST_EVENT_EOS) {
    gst_event_unref(event);
  }
  if (event == nullptr) return false;
  gst_event_unref(event);
  return true;
}

// Catches a stream that goes on past num-buffers or ends without EOS, an
// EOS event the element refuses or never turns into EOS downstream, and
// num-buffers=0 pushing a buffer.
TEST(TalonSrcTest, EndsOnEos) {
  struct Case {
    const char* properties;
    int frames;       // pulled before the end
    bool send_event;  // the application sends EOS after them
  };
  const Case cases[] = {{"num-buffers=3", 3, false}, {"num-buffers=0", 0, false}, {"", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.properties);
    Source src({"0x2A,64,4,8"}, c.properties);
    src.Play();
    for (int i = 0; i < c.frames; ++i) gst_buffer_unref(gst_harness_pull(src.h()));
    if (c.send_event) {
      EXPECT_TRUE(gst_element_send_event(src.element(), gst_event_new_eos()));
    }
    ASSERT_TRUE(PullEos(src.h()));
    if (!c.send_event) {
      EXPECT_EQ(gst_harness_buffers_in_queue(src.h()), 0u);
    }
  }
}

// A pipeline from launch syntax, its sink `fast` pulled as an application
// does, and its bus.
class Pipeline {
 public:
  explicit Pipeline(const char* launch) {
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(launch, &error);
    if (error != nullptr) parse_error_ = error->message;
    g_clear_error(&error);
    if (pipeline_ != nullptr) gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  }
  ~Pipeline() {
    if (pipeline_ == nullptr) return;
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  const std::string& parse_error() const { return parse_error_; }

  // The next sample of the appsink `fast`; null after 10 s.
  GstSample* Pull() {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "fast");
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", 10 * GST_SECOND, &sample);
    gst_object_unref(sink);
    return sample;
  }
  // The warnings and errors posted so far, one per line.
  std::string Messages() {
    GstBus* bus = gst_element_get_bus(pipeline_);
    std::string text;
    while (GstMessage* m = gst_bus_pop_filtered(
               bus, static_cast<GstMessageType>(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR))) {
      GError* error = nullptr;
      if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, nullptr);
      if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING) gst_message_parse_warning(m, &error, nullptr);
      text += std::string(error->message) + "\n";
      g_clear_error(&error);
      gst_message_unref(m);
    }
    gst_object_unref(bus);
    return text;
  }

 private:
  GstElement* pipeline_ = nullptr;
  std::string parse_error_;
};

// Pipelines as users build them; each case names the fault it catches.
TEST(TalonSrcTest, PipelinesUsersBuild) {
  struct Case {
    const char* fault;
    const char* launch;
    size_t hold;           // samples the application keeps
    const char* messages;  // the warnings and errors expected
  };
  const Case cases[] = {
      {"a slow branch that holds every frame buffer stops the fast one",
       "talonsrc stream=0x2A,64,4,8 buffers=3 ! tee name=t "
       "t. ! queue ! appsink name=fast sync=false "
       "t. ! queue leaky=downstream max-size-buffers=2 ! appsink max-buffers=1 sync=false",
       0, ""},
      {"an application holding the last samples stops the capture",
       "talonsrc stream=0x2A,64,4,8 buffers=3 ! appsink name=fast max-buffers=2 drop=true "
       "sync=false",
       3, ""},
      {"a fixed framerate=0/1 before the first frame fails to link a capsfilter",
       "talonsrc stream=0x1E,64,4,8 ! videoconvert ! videoscale ! "
       "video/x-raw,width=16,height=8,framerate=200/1 ! appsink name=fast sync=false",
       0, ""},
      {"a latency of max 0 before the rate is known: \"add queues\" with a sink that does "
       "not preroll",
       "talonsrc stream=0x2A,64,4,8 ! appsink name=fast async=false", 0, ""},
      {"a framerate property that disagrees with the sensor passes without a word",
       "talonsrc stream=0x2A,64,4,8 framerate=60/1 ! appsink name=fast sync=false", 0,
       "negotiated frame rate 60/1, but the sensor delivers 200/1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Pipeline pipeline(c.launch);
    ASSERT_EQ(pipeline.parse_error(), "");
    std::vector<GstSample*> held;
    for (int i = 0; i < 20; ++i) {
      GstSample* sample = pipeline.Pull();
      ASSERT_NE(sample, nullptr) << "frame " << i << "; " << pipeline.Messages();
      held.push_back(sample);
      if (held.size() > c.hold) {
        gst_sample_unref(held.front());
        held.erase(held.begin());
      }
    }
    for (GstSample* sample : held) gst_sample_unref(sample);
    EXPECT_EQ(pipeline.Messages(), c.messages);
  }
}

// Catches properties taken silently in states where they would be ignored,
// a stream set in READY that is not the one captured, and ranges in the
// property ranges wider than what is accepted.
TEST(TalonSrcTest, PropertiesAsInspected) {
  {
    Source ready({"0x2A,64,4,8"});
    ASSERT_NE(gst_element_set_state(ready.element(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    gst_util_set_object_arg(G_OBJECT(ready.element()), "stream", "0x2B,64,4,10");
    ready.Play();
    GstBuffer* buffer = gst_harness_pull(ready.h());
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(CapsOf(ready.h()), "video/x-raw GRAY16_LE 64x4");
    gst_buffer_unref(buffer);
  }
  Source src({"0x2A,64,4,8"});
  src.Play();
  gst_buffer_unref(gst_harness_pull(src.h()));
  struct Case {
    const char* property;
    const char* value;
  };
  const Case cases[] = {{"stream", "0x2B,64,4,10"}, {"num-buffers", "7"}, {"buffers", "8"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property);
    GValue before = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(src.element()), c.property, &before);
    gst_util_set_object_arg(G_OBJECT(src.element()), c.property, c.value);
    EXPECT_NE(src.NextMessage(GST_MESSAGE_WARNING).find("set in NULL or READY"), std::string::npos);
    GValue after = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(src.element()), c.property, &after);
    EXPECT_EQ(gst_value_compare(&before, &after), GST_VALUE_EQUAL);
    g_value_unset(&before);
    g_value_unset(&after);
  }
  for (const char* property : {"mipi-rx", "virtual-channel"}) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(src.element()), property);
    ASSERT_NE(pspec, nullptr);
    const uint64_t max = G_IS_PARAM_SPEC_INT(pspec) ? G_PARAM_SPEC_INT(pspec)->maximum
                                                    : G_PARAM_SPEC_UINT(pspec)->maximum;
    EXPECT_EQ(max, 3u) << property;
  }
}

void KeepWarning(const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
  *static_cast<std::string*>(data) += message;
}

// Catches text the ISP's properties do not take that is kept, or refused
// without a warning naming the property and what is allowed, and good text
// that does not read back.
TEST(TalonSrcTest, PictureSettingsAsText) {
  struct Case {
    const char* property;
    const char* text;
    const char* reads;    // back, after setting
    const char* warning;  // expected; empty: none
  };
  const Case cases[] = {
      {"white-balance", "2,1,1.5", "2,1,1.5", ""},
      {"white-balance", "1,2", "auto", "white-balance: \"1,2\" is not 3 comma-separated"},
      {"white-balance", "1,-1,1", "auto", "positive numbers, nor \"auto\""},
      {"color-matrix", "1.5,0,0,0,1,0,0,0,1", "1.5,0,0,0,1,0,0,0,1", ""},
      {"color-matrix", "1,0,0", "1,0,0,0,1,0,0,0,1", "color-matrix: \"1,0,0\" is not 9"},
      {"gamma", "linear", "linear", ""},
      {"cfa", "GBRG", "gbrg", ""},
  };
  std::string warnings;
  const guint handler = g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, KeepWarning, &warnings);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.property) + "=" + c.text);
    warnings.clear();
    Source src({"0x2B,64,4,10"});
    gst_util_set_object_arg(G_OBJECT(src.element()), c.property, c.text);
    GValue value = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(src.element()), c.property, &value);
    gchar* text =
        G_VALUE_HOLDS_STRING(&value) ? g_value_dup_string(&value) : gst_value_serialize(&value);
    EXPECT_EQ(std::string(text), c.reads);
    g_free(text);
    g_value_unset(&value);
    if (*c.warning == '\0') {
      EXPECT_EQ(warnings, "");
    } else {
      EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
    }
  }
  g_log_remove_handler(nullptr, handler);
}

// Catches a refused configuration that crashes, passes silently, or fails
// without naming what was refused.
TEST(TalonSrcTest, RefusedConfiguration) {
  struct Case {
    std::vector<std::string> streams;
    const char* properties;
    const char* failpoints;
    const char* error;
  };
  const Case cases[] = {
      {{"0x2B,0,4,10"}, "", "", "stream: width 0"},
      {{"0x2B,64,4,12"}, "", "", "stream: bits 12"},
      {{"0x2B,64,4"}, "", "", "stream: "},
      {{"0x2A,64,4,8", "0x2A,64,4,8"}, "", "", "stream: data type 0x2A is given twice"},
      {{"0x2A,64,4,8", "0x2B,64"}, "", "", "src_0::stream: "},
      {{"0x2A,64,4,8", ""}, "", "", "src_0::stream is not set"},
      // Streams without caps, refused before capture starts.
      {{"0x12,64,4,8"}, "", "", "src: data type 0x12 has no GStreamer caps"},
      {{"0x2B,64,4,8"}, "", "", "carries 10 bits per component, not 8"},
      {{"0x2A,64,4,8", "0x1E,642,4,8"}, "", "", "src_0: data type 0x1E (YUV422 8-bit) needs"},
      {{"0x2A,64,4,8"}, "", "OzyGetDevice:3", "the library refused the configuration"},
      {{"0x2B,64,4,10"}, "black-level=1023", "", "src: black-level must be below white_level"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    ASSERT_EQ(PrismSimSetFailpoints(c.failpoints), 0);
    Source src(c.streams, c.properties);
    EXPECT_EQ(src.Play(), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(src.NextMessage(GST_MESSAGE_ERROR, 0).find(c.error), std::string::npos);
    PrismSimSetFailpoints("");
  }
}

// Catches odd-sized Bayer caps offered (bayer2rgb reads past the mosaic)
// or an odd Bayer stream that fails only at the first frame when
// downstream takes nothing else; and the odd sizes its other caps take
// refused with it.
TEST(TalonSrcTest, OddBayerSizes) {
  struct Case {
    const char* stream;
    const char* sink_caps;
    const char* caps;  // expected; null: refused at READY→PAUSED with `error`
    const char* error;
  };
  const Case cases[] = {
      {"0x2B,65,4,10", "video/x-bayer", nullptr,
       "src: video/x-bayer needs an even width and height (whole 2x2 cells of the mosaic), "
       "not 65x4"},
      {"0x2A,64,5,8", "video/x-bayer", nullptr, "not 64x5"},
      {"0x2B,65,4,10", "video/x-bayer; video/x-raw,format=GRAY16_LE", "video/x-raw GRAY16_LE 65x4",
       nullptr},
      {"0x2A,65,4,8", nullptr, "video/x-raw BGRx 65x4", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stream) + " " + (c.sink_caps ? c.sink_caps : ""));
    Source src({c.stream});
    if (c.sink_caps != nullptr) gst_harness_set_sink_caps_str(src.h(), c.sink_caps);
    if (c.caps == nullptr) {
      EXPECT_EQ(src.Play(), GST_STATE_CHANGE_FAILURE);
      EXPECT_NE(src.NextMessage(GST_MESSAGE_ERROR, 0).find(c.error), std::string::npos);
      continue;
    }
    ASSERT_NE(src.Play(), GST_STATE_CHANGE_FAILURE);
    GstBuffer* buffer = gst_harness_pull(src.h());
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(CapsOf(src.h()), c.caps);
    gst_buffer_unref(buffer);
  }
}

// Catches two elements capturing from one receiver and virtual channel
// without a word, a refusal that does not name the holder, and a claim
// kept after the holder went back to NULL.
TEST(TalonSrcTest, OneElementPerReceiver) {
  Source first({"0x2A,64,4,8"});
  Source second({"0x2A,64,4,8"}, "virtual-channel=1");
  Source third({"0x2A,64,4,8"});
  gst_object_set_name(GST_OBJECT(first.element()), "holder");
  ASSERT_EQ(gst_element_set_state(first.element(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(gst_element_set_state(second.element(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(gst_element_set_state(third.element(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  EXPECT_EQ(third.NextMessage(GST_MESSAGE_ERROR, 0),
            "mipi-rx 0, virtual-channel 0 is busy: holder captures from it");
  gst_element_set_state(first.element(), GST_STATE_NULL);
  EXPECT_EQ(gst_element_set_state(third.element(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
}

// Catches NTSC rates negotiated as decimal fractions (29.97 as 2997/100,
// which no encoder or muxer takes as 30000/1001).
TEST(TalonSrcTest, RatesAsCommonFractions) {
  struct Case {
    int64_t period_ns;
    int n, d;
  };
  const Case cases[] = {{33366700, 30000, 1001}, {41708333, 24000, 1001}, {16683350, 60000, 1001},
                        {33333333, 30, 1},       {80000000, 25, 2},       {50000, 0, 1}};
  for (const Case& c : cases) {
    int n = -1, d = -1;
    talon_gst::FractionOfPeriod(c.period_ns, &n, &d);
    EXPECT_EQ(std::to_string(n) + "/" + std::to_string(d),
              std::to_string(c.n) + "/" + std::to_string(c.d))
        << c.period_ns;
  }
}

}  // namespace
