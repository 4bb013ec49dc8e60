// The frame rate that reaches an `appsink max-buffers=2 drop=true` whose
// application pulls slowly (it works on each sample for WORK_MS while it
// holds it, so downstream keeps three frames), at a 30 fps simulated sensor,
// beside `videotestsrc is-live=true` in the same pipeline and run as the
// baseline. "arrived" counts the buffers that reach the appsink (the fast
// path: what the source delivers), "pulled" those the application took;
// a source that stalls while the application holds its buffers shows as
// arrivals below the sensor's rate.
//
//   build/bin/talonsrc_appsink [SECONDS [WORK_MS]]   (default 10 s, 100 ms)

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "gst/talon_src.h"

namespace {

constexpr double kSensorFps = 30;

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer data) {
  static_cast<std::atomic<int>*>(data)->fetch_add(1);
  return GST_PAD_PROBE_OK;
}

struct Figures {
  double arrived_fps = 0;
  double pulled_fps = 0;
};

// Runs `source ! appsink` for `seconds`, pulling with `work_ms` per sample.
bool Run(const std::string& source, int seconds, int work_ms, Figures* out) {
  const std::string description =
      source + " ! appsink name=sink max-buffers=2 drop=true sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr) {
    std::fprintf(stderr, "talonsrc_appsink: %s\n", error->message);
    g_clear_error(&error);
    return false;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  std::atomic<int> arrived{0};
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, &arrived, nullptr);
  gst_object_unref(pad);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  // Counted from the first sample on, so that start-up is not in the rate.
  GstSample* sample = nullptr;
  g_signal_emit_by_name(sink, "try-pull-sample", 10 * GST_SECOND, &sample);
  bool ok = sample != nullptr;
  int pulled = 0;
  const int arrived_at_start = arrived.load();
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  while (ok && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(work_ms));  // the work, holding it
    gst_sample_unref(sample);
    g_signal_emit_by_name(sink, "try-pull-sample", GST_SECOND, &sample);
    ok = sample != nullptr;
    if (ok) ++pulled;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sample != nullptr) gst_sample_unref(sample);
  out->arrived_fps = (arrived.load() - arrived_at_start) / elapsed;
  out->pulled_fps = pulled / elapsed;
  GstBus* bus = gst_element_get_bus(pipeline);
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    GError* message_error = nullptr;
    gst_message_parse_error(m, &message_error, nullptr);
    std::fprintf(stderr, "talonsrc_appsink: %s\n", message_error->message);
    g_clear_error(&message_error);
    gst_message_unref(m);
    ok = false;
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 10;
  const int work_ms = argc > 2 ? atoi(argv[2]) : 100;
  setenv("PRISM_SIM_FPS", "30", 1);
  if (getenv("TEST_UNDECLARED_OUTPUTS_DIR") == nullptr) {
    setenv("TEST_UNDECLARED_OUTPUTS_DIR", "/tmp/talonsrc_appsink", 1);
  }
  gst_init(&argc, &argv);
  gst_element_register(nullptr, "talonsrc", GST_RANK_NONE, GST_TYPE_TALON_SRC);
  std::printf("%-10s %-13s %12s %12s %18s\n", "size", "source", "arrived fps", "pulled fps",
              "arrived / sensor");
  struct Case {
    const char* size;
    int width, height;
  };
  int status = 0;
  for (const Case& c : {Case{"640x480", 640, 480}, Case{"4056x3040", 4056, 3040}}) {
    const std::string dims = std::to_string(c.width) + "," + std::to_string(c.height);
    const std::string caps = "video/x-raw,format=GRAY16_LE,width=" + std::to_string(c.width) +
                             ",height=" + std::to_string(c.height) + ",framerate=30/1";
    const std::pair<const char*, std::string> sources[] = {
        {"videotestsrc", "videotestsrc is-live=true pattern=black ! " + caps},
        {"talonsrc", "talonsrc stream=0x2B," + dims + ",10"},
    };
    for (const auto& [name, source] : sources) {
      Figures f;
      if (!Run(source, seconds, work_ms, &f)) {
        std::fprintf(stderr, "talonsrc_appsink: %s %s failed\n", c.size, name);
        status = 1;
        continue;
      }
      std::printf("%-10s %-13s %12.1f %12.1f %18.2f\n", c.size, name, f.arrived_fps, f.pulled_fps,
                  f.arrived_fps / kSensorFps);
      std::fflush(stdout);
    }
  }
  gst_deinit();
  return status;
}
