// talon-cam as a user runs it (the built tool, a process per run) on the
// unthrottled simulated IPU, one 64x4 RAW10 stream, each figure beside a
// baseline from the same run:
//
// - the end of a capture: 20 runs of 100 frames, the slowest run's wall time
//   beside the median (a run that waits --timeout-ms at its end for a buffer
//   that never comes is a second slower than the others);
// - constant memory: the peak resident memory after 2,000,000 frames beside
//   the one after 200,000, with --quiet, then also writing --metadata and
//   --trace.
//
//   build/bin/talon_cam_bench [--long N]   # N frames in the long runs (2000000)
//
// About 2 minutes on the 2-core development VM, most of it the long runs.

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bench/capture_harness.h"
#include "testing/prism_trace.h"
#include "testing/tool_runner.h"

namespace {

constexpr int kEndRuns = 20;
constexpr char kEndFrames[] = "100";
constexpr char kShortFrames[] = "200000";
constexpr int kTargetSlowestToMedian = 5;
constexpr double kTargetGrowthKb = 1024;

long OwnMaxRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct CamRun {
  bool ok = false;               // exited with status 0
  double wall_ms = 0;            // start to exit
  long max_rss_kb = 0;           // the tool's peak resident memory
  uint64_t single_buffer = 0;    // worker cycles with no second run queued
};

// Runs talon-cam with `args` on the unthrottled sensor, its output to
// /dev/null: read back, it would grow this process, and the kernel counts
// the spawning process's peak into the child's (ru_maxrss survives exec).
// With a `trace_path`, the runtime's trace goes to that file (made afresh)
// and the worker's single-buffered cycles are counted from it.
CamRun RunCam(const std::vector<std::string>& args, const std::string& trace_path = "") {
  std::vector<std::string> argv = {TALON_CAM_PATH, "--stream", "0x2B,64,4,10", "--quiet"};
  argv.insert(argv.end(), args.begin(), args.end());
  talon_testing::ToolOptions options;
  options.output = talon_testing::ToolOutput::kDiscarded;
  if (!trace_path.empty()) {
    std::remove(trace_path.c_str());  // the runtime appends
    options.env.push_back("PRISM_SIM_TRACE=" + trace_path);
  }
  const talon_testing::ToolResult result = talon_testing::RunTool(argv, options);
  CamRun run;
  run.ok = result.status == 0;
  run.wall_ms = result.wall_ms;
  run.max_rss_kb = result.max_rss_kb;
  if (!trace_path.empty()) run.single_buffer = talon_testing::CountSingleBufferCycles(trace_path);
  return run;
}

void Row(const std::string& what, const std::string& figure, const std::string& baseline,
         const std::string& ratio, const std::string& target) {
  std::printf("| %-42s | %-22s | %-26s | %-9s | %-10s |\n", what.c_str(), figure.c_str(),
              baseline.c_str(), ratio.c_str(), target.c_str());
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// 20 runs of 100 frames: the slowest beside the median. The runtime's trace
// of each goes to a file in `files`.
bool MeasureEnd(const std::string& files) {
  RunCam({"--frames", kEndFrames});  // the first run compiles the graph
  std::vector<double> wall_ms;
  uint64_t single_buffer = 0;
  bool ok = true;
  for (int i = 0; i < kEndRuns; ++i) {
    const CamRun run = RunCam({"--frames", kEndFrames}, files + "/trace.txt");
    ok = ok && run.ok;
    single_buffer += run.single_buffer;
    wall_ms.push_back(run.wall_ms);
  }
  std::sort(wall_ms.begin(), wall_ms.end());
  const double median = (wall_ms[kEndRuns / 2 - 1] + wall_ms[kEndRuns / 2]) / 2;
  const double slowest = wall_ms.back();
  Row("100 frames, slowest of 20 runs", Format("%.1f ms", slowest),
      Format("median %.1f ms", median), Format("%.2fx", slowest / median),
      "< " + std::to_string(kTargetSlowestToMedian) + "x");
  std::string all;
  for (double ms : wall_ms) all += Format(" %.0f", ms);
  std::printf("  wall times (ms, sorted):%s\n", all.c_str());
  std::printf("  single-buffered cycles in the 20 runs: %llu (the tool trails the "
              "unthrottled sensor)\n",
              static_cast<unsigned long long>(single_buffer));
  return ok;
}

// Peak resident memory after `long_frames` frames beside after 200,000.
bool MeasureMemory(const char* what, const std::vector<std::string>& extra,
                   const std::string& long_frames) {
  std::vector<std::string> short_args = {"--frames", kShortFrames};
  std::vector<std::string> long_args = {"--frames", long_frames};
  short_args.insert(short_args.end(), extra.begin(), extra.end());
  long_args.insert(long_args.end(), extra.begin(), extra.end());
  const CamRun short_run = RunCam(short_args);
  const CamRun long_run = RunCam(long_args);
  const double growth = static_cast<double>(long_run.max_rss_kb - short_run.max_rss_kb);
  Row(std::string("peak RSS after ") + long_frames + " frames, " + what,
      Format("%.0f kB", static_cast<double>(long_run.max_rss_kb)),
      std::string("after ") + kShortFrames + Format(": %.0f kB",
                                                  static_cast<double>(short_run.max_rss_kb)),
      Format("%+.0f kB", growth), Format("< %.0f kB", kTargetGrowthKb));
  std::printf("  wall times: %.1f s and %.1f s; this process's own peak (a floor of the "
              "figures): %ld kB\n",
              short_run.wall_ms / 1e3, long_run.wall_ms / 1e3, OwnMaxRssKb());
  return short_run.ok && long_run.ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string long_frames = "2000000";
  if (argc == 3 && std::strcmp(argv[1], "--long") == 0) {
    long_frames = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: talon_cam_bench [--long FRAMES]\n");
    return 2;
  }
  setenv("PRISM_SIM_FPS", "0", 1);
  talon_bench::UseFreshGraphCache();  // never the system cache directory
  char files[] = "/tmp/talon-cam-bench-XXXXXX";  // the metadata and trace files
  if (mkdtemp(files) == nullptr) {
    std::perror("talon_cam_bench: mkdtemp");
    return 1;
  }

  std::printf("talon_cam_bench: %s, unthrottled simulated IPU, one 64x4 RAW10 stream\n\n",
              TALON_CAM_PATH);
  Row("figure", "measured", "baseline (same run)", "ratio", "target");
  Row(std::string(42, '-'), std::string(22, '-'), std::string(26, '-'), std::string(9, '-'),
      std::string(10, '-'));
  bool ok = MeasureEnd(files);
  ok = MeasureMemory("--quiet", {}, long_frames) && ok;
  ok = MeasureMemory("--metadata --trace",
                     {"--metadata", std::string(files) + "/frames.jsonl", "--trace",
                      std::string(files) + "/trace.json"},
                     long_frames) &&
       ok;
  std::error_code ignored;
  std::filesystem::remove_all(files, ignored);
  std::fflush(stdout);
  if (!ok) std::fprintf(stderr, "talon_cam_bench: a run of talon-cam failed\n");
  return ok ? 0 : 1;
}
