// Frames per second through `talonsrc ! fakesink` beside talon-cam on the
// same stream in the same run, on the unthrottled simulated IPU
// (PRISM_SIM_FPS=0), and the CPU per frame of each, per data type and
// output (RAW10 unpacked to GRAY16_LE, narrowed to 8-bit Bayer, and
// developed by the element's ISP to RGBx and I420) at 640x480, 1920x1080
// and 4056x3040 (FRAMES scaled down by the pixel count beyond 640x480, at
// least 60). Both rates are
// delivered frames over their start-of-frame span (talon-cam's "average
// fps"; the buffers' PTS for talonsrc), both with 4 frame buffers; the two
// take turns, so that they share the same stretch of machine time.
//
//   build/bin/talonsrc_rate [FRAMES [ROUNDS [STREAM]]]
//   (default 5000 frames, 3 rounds; STREAM: only the cases of that stream)

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gst/talon_src.h"
#include "support/frame_stats.h"

namespace {

struct Figures {
  double fps = 0;
  double cpu_us_per_frame = 0;
};

// talon-cam's own summary of a capture of `frames` frames.
bool RunTalonCam(const std::string& stream, int frames, Figures* out) {
  const std::string command = std::string(TALON_CAM_PATH) + " --quiet --buffers 4 --stream " +
                              stream + " --frames " + std::to_string(frames) + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[256];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    sscanf(line, "average fps: %lf", &out->fps);
    sscanf(line, "CPU per frame: %lf", &out->cpu_us_per_frame);
  }
  return pclose(pipe) == 0 && out->fps > 0;
}

struct Probe {
  int buffers = 0;
  GstClockTime first_pts = GST_CLOCK_TIME_NONE;
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  int64_t first_cpu_ns = 0;
  int64_t last_cpu_ns = 0;
};

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
  Probe* probe = static_cast<Probe*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (probe->buffers++ == 0) {
    probe->first_pts = GST_BUFFER_PTS(buffer);
    probe->first_cpu_ns = talon_support::ProcessCpuNs();
  }
  probe->last_pts = GST_BUFFER_PTS(buffer);
  probe->last_cpu_ns = talon_support::ProcessCpuNs();
  return GST_PAD_PROBE_OK;
}

// The same capture through talonsrc into a fakesink.
bool RunTalonSrc(const std::string& stream, const std::string& caps, int frames, Figures* out) {
  const std::string description =
      "talonsrc name=src buffers=4 stream=" + stream + " num-buffers=" + std::to_string(frames) +
      " ! " + (caps.empty() ? "" : caps + " ! ") + "fakesink name=sink sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr) {
    std::fprintf(stderr, "talonsrc_rate: %s\n", error->message);
    g_clear_error(&error);
    return false;
  }
  Probe probe;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, &probe, nullptr);
  gst_object_unref(pad);
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message != nullptr) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  if (!ok || probe.buffers < 2 || probe.last_pts <= probe.first_pts) return false;
  out->fps = (probe.buffers - 1) * 1e9 / static_cast<double>(probe.last_pts - probe.first_pts);
  out->cpu_us_per_frame =
      static_cast<double>(probe.last_cpu_ns - probe.first_cpu_ns) / 1e3 / (probe.buffers - 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? atoi(argv[1]) : 5000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  const std::string only = argc > 3 ? argv[3] : "";
  setenv("PRISM_SIM_FPS", "0", 1);  // for this process's runtime and talon-cam's
  if (getenv("TEST_UNDECLARED_OUTPUTS_DIR") == nullptr) {
    setenv("TEST_UNDECLARED_OUTPUTS_DIR", "/tmp/talonsrc_rate", 1);
  }
  gst_init(&argc, &argv);
  gst_element_register(nullptr, "talonsrc", GST_RANK_NONE, GST_TYPE_TALON_SRC);
  std::printf("%-20s %-6s %5s %14s %14s %7s %16s %16s\n", "stream", "output", "round",
              "talon-cam fps", "talonsrc fps", "ratio", "talon-cam us/fr", "talonsrc us/fr");
  struct Case {
    const char* stream;
    const char* output;
    const char* caps;
    double pixels;
  };
  const Case cases[] = {
      {"0x2A,640,480,8", "as is", "", 640 * 480},
      {"0x2E,640,480,16", "as is", "", 640 * 480},
      {"0x2B,640,480,10", "16-bit", "", 640 * 480},
      {"0x2B,640,480,10", "8-bit", "video/x-bayer,format=rggb", 640 * 480},
      {"0x2B,1920,1080,10", "16-bit", "", 1920 * 1080},
      {"0x2B,1920,1080,10", "8-bit", "video/x-bayer,format=rggb", 1920 * 1080},
      {"0x2B,4056,3040,10", "16-bit", "", 4056 * 3040},
      {"0x2B,4056,3040,10", "8-bit", "video/x-bayer,format=rggb", 4056 * 3040},
      // Pictures: the ISP's work beside talon-cam's raw capture.
      {"0x2B,1920,1080,10", "RGBx", "video/x-raw,format=RGBx", 1920 * 1080},
      {"0x2B,1920,1080,10", "I420", "video/x-raw,format=I420", 1920 * 1080},
      {"0x2B,4056,3040,10", "RGBx", "video/x-raw,format=RGBx", 4056 * 3040},
      {"0x2B,4056,3040,10", "I420", "video/x-raw,format=I420", 4056 * 3040},
  };
  int status = 0;
  for (const Case& c : cases) {
    if (!only.empty() && only != c.stream) continue;
    const int n = std::max(60, static_cast<int>(frames * 640 * 480 / c.pixels));
    for (int round = 1; round <= rounds; ++round) {
      Figures cam, src;
      if (!RunTalonCam(c.stream, n, &cam) || !RunTalonSrc(c.stream, c.caps, n, &src)) {
        std::fprintf(stderr, "talonsrc_rate: %s failed\n", c.stream);
        status = 1;
        continue;
      }
      std::printf("%-20s %-6s %5d %14.0f %14.0f %7.2f %16.1f %16.1f\n", c.stream, c.output, round,
                  cam.fps, src.fps, src.fps / cam.fps, cam.cpu_us_per_frame, src.cpu_us_per_frame);
      std::fflush(stdout);
    }
  }
  gst_deinit();
  return status;
}
