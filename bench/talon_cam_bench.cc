// talon-cam as a user runs it (the built tool, a process per run) on the
// simulated IPU, each figure beside a baseline from the same run:
//
// - each output's CPU per frame at 640x480, 1920x1080 and 4056x3040 RAW10,
//   30 fps, on tmpfs (/dev/shm) and on the disk (/var/tmp): the tool's CPU
//   per frame (its summary's, which includes the writes) less that of the
//   same capture without outputs, beside a plain write of the same bytes
//   into the same directory by this process (a file per frame, or one file
//   for all), and --dng beside --output and beside a plain write of its
//   own bytes (16-bit samples); medians of 5 rounds;
//
// and on the unthrottled simulated IPU, one 64x4 RAW10 stream:
//
// - the end of a capture: 20 runs of 100 frames, the slowest run's wall time
//   beside the median (a run that waits --timeout-ms at its end for a buffer
//   that never comes is a second slower than the others);
// - constant memory: the peak resident memory after 2,000,000 frames beside
//   the one after 200,000, with --quiet, then also writing --metadata and
//   --trace.
//
//   build/bin/talon_cam_bench [--long N]   # N frames in the long runs (2000000)
//   build/bin/talon_cam_bench --outputs    # the outputs' rows only
//
// About 6 minutes on the 2-core development VM, most of it the outputs'
// rounds and the long runs.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "bench/capture_harness.h"
#include "support/frame_stats.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"
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
  bool ok = false;             // exited with status 0
  double wall_ms = 0;          // start to exit
  long max_rss_kb = 0;         // the tool's peak resident memory
  uint64_t single_buffer = 0;  // worker cycles with no second run queued
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
  std::printf(
      "  single-buffered cycles in the 20 runs: %llu (the tool trails the "
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
      std::string("after ") + kShortFrames +
          Format(": %.0f kB", static_cast<double>(short_run.max_rss_kb)),
      Format("%+.0f kB", growth), Format("< %.0f kB", kTargetGrowthKb));
  std::printf(
      "  wall times: %.1f s and %.1f s; this process's own peak (a floor of the "
      "figures): %ld kB\n",
      short_run.wall_ms / 1e3, long_run.wall_ms / 1e3, OwnMaxRssKb());
  return short_run.ok && long_run.ok;
}

// The outputs' rows: frames per run, the sensor's rate.
constexpr int kOutputFrames = 30;
constexpr char kOutputFps[] = "30";
constexpr long kFramePeriodNs = 1000000000 / 30;
constexpr double kTargetRawToWrite = 1.3;
constexpr double kTargetDngToRaw = 1.5;
// The buffers a raw output writes from in turn: the tool's three in flight
// and the one being written (a buffer the outputs are done with is the
// first to be enqueued again).
constexpr int kPlainSources = 4;
constexpr int kOutputRounds = 5;
constexpr uint64_t kBuffers = 3;             // talon-cam's --buffers
constexpr uint64_t kWriteMemoryFrames = 30;  // its write memory, in frames

struct OutputRun {
  bool ok = false;
  double cpu_us_per_frame = -1;  // the summary's
  uint64_t not_written = 0;      // frames an output did not write
};

// One capture of kOutputFrames frames of `stream` at 30 fps with `args`.
OutputRun RunOutput(const std::string& stream, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TALON_CAM_PATH, "--stream", stream,
                                   "--quiet",      "--frames", std::to_string(kOutputFrames)};
  argv.insert(argv.end(), args.begin(), args.end());
  talon_testing::ToolOptions options;
  options.output = talon_testing::ToolOutput::kSeparate;
  options.env.push_back(std::string("PRISM_SIM_FPS=") + kOutputFps);
  const talon_testing::ToolResult result = talon_testing::RunTool(argv, options);
  OutputRun run;
  run.ok = result.status == 0;
  const size_t cpu = result.out.find("CPU per frame: ");
  if (cpu != std::string::npos) run.cpu_us_per_frame = std::atof(result.out.c_str() + cpu + 15);
  for (size_t at = result.out.find(" frames not written"); at != std::string::npos;
       at = result.out.find(" frames not written", at + 1)) {
    const size_t colon = result.out.rfind(": ", at);
    run.not_written += std::strtoull(result.out.c_str() + colon + 2, nullptr, 10);
  }
  if (!run.ok) std::fprintf(stderr, "%s", result.err.c_str());
  return run;
}

// Memory in huge pages, written once, as the simulated runtime's frame
// buffers are; null when there is none.
std::unique_ptr<char, decltype(&std::free)> HugeBuffer(uint64_t bytes) {
  constexpr uint64_t kHugePage = uint64_t{2} << 20;
  void* p = nullptr;
  if (bytes == 0 || posix_memalign(&p, kHugePage, bytes) != 0) return {nullptr, &std::free};
  madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
  std::memset(p, 'x', bytes);
  return {static_cast<char*>(p), &std::free};
}

// This thread's CPU for writing `frames` frames of `bytes` into `dir` as a
// plain program does (open, write, close; no temporary, no rename), a file
// per frame or all into one, from `sources` buffers in turn; microseconds
// per frame. The files are removed. A frame's bytes come from a buffer the
// sensor just filled, one of the few in turn (the tool's three in flight and
// the one being written), in huge pages as the simulated runtime's frame
// buffers are: on a VM whose page translations are dear, reading fresh 4 kB
// pages costs several times the write itself. Meanwhile the process holds
// `held` more bytes, written once, as the tool holds the frame buffers its
// write memory may need: on this VM, a process that has just taken and
// written a few hundred MB pays up to several times more for the page
// cache's pages that a write into ext4 takes. The frames are written at the
// sensor's rate, as the tool gets them: the same bytes written back to back
// cost up to 0.2 ms less per frame (the kernel's page allocation and the
// caches stay warm), which would flatter the baseline at the small sizes.
double PlainWriteUs(const std::string& dir, uint64_t bytes, int frames, bool one_file, int sources,
                    uint64_t held) {
  std::vector<std::unique_ptr<char, decltype(&std::free)>> buffers;
  for (int i = 0; i < sources; ++i) {
    buffers.push_back(HugeBuffer(bytes));
    if (buffers.back() == nullptr) return -1;
  }
  const auto ballast = HugeBuffer(held);
  if (held != 0 && ballast == nullptr) return -1;
  const int64_t start_ns = talon_support::ThreadCpuNs();
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  int fd = -1;
  for (int i = 0; i < frames; ++i) {
    next.tv_nsec += kFramePeriodNs;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    if (fd < 0) {
      const std::string path = dir + "/plain-" + std::to_string(one_file ? 0 : i) + ".raw";
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) return -1;
    }
    for (uint64_t done = 0; done < bytes;) {
      const ssize_t n =
          write(fd, buffers[static_cast<size_t>(i % sources)].get() + done, bytes - done);
      if (n <= 0) return -1;
      done += static_cast<uint64_t>(n);
    }
    if (!one_file) {
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
  const int64_t cpu_ns = talon_support::ThreadCpuNs() - start_ns;
  std::error_code ignored;
  for (int i = 0; i < frames; ++i) {
    std::filesystem::remove(dir + "/plain-" + std::to_string(i) + ".raw", ignored);
  }
  return static_cast<double>(cpu_ns) / 1e3 / frames;
}

void RemoveContents(const std::string& dir) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The rows of one frame size on one file system. Each figure is the median
// of kOutputRounds rounds; a round takes every capture and every plain
// write in turn, so that they share the same stretch of machine time.
bool MeasureOutputs(uint32_t width, uint32_t height, const char* fs, const std::string& dir) {
  vireo::CaptureStreamConfig config;
  config.data_type = vireo::CSI2_RAW10;
  config.width = width;
  config.height = height;
  config.bits_per_component = 10;
  const uint64_t bytes = vireo::vireo_util::GetRowStrideBytes(config) * height;
  // The DNG's 16-bit samples, without its few kB of tags.
  const uint64_t dng_bytes = uint64_t{width} * height * 2;
  const std::string stream = "0x2B," + std::to_string(width) + "," + std::to_string(height) + ",10";
  const std::string size = std::to_string(width) + "x" + std::to_string(height) + " " + fs;
  // The write memory (the tool's default: a second of the stream) and the
  // frame buffers the tool then holds beyond the few it writes from.
  const uint64_t write_mb = (kWriteMemoryFrames * bytes + 999999) / 1000000;
  const uint64_t held = (kBuffers + write_mb * 1000000 / bytes - kPlainSources) * bytes;
  bool ok = true;
  uint64_t not_written = 0;
  // The CPU per frame of a capture with `args`, per frame it wrote.
  const auto output = [&](std::vector<std::string> args) {
    if (!args.empty()) args.insert(args.end(), {"--write-memory", std::to_string(write_mb)});
    const OutputRun run = RunOutput(stream, args);
    RemoveContents(dir);
    ok = ok && run.ok && run.cpu_us_per_frame >= 0;
    not_written += run.not_written;
    return run;
  };
  std::vector<double> none, raw, all, dng, plain_files, plain_one, plain_dng;
  for (int round = 0; round < kOutputRounds; ++round) {
    const double alone = output({}).cpu_us_per_frame;
    none.push_back(alone);
    const auto per_written = [&](const OutputRun& run) {
      const double frames = kOutputFrames;
      return (run.cpu_us_per_frame - alone) * frames /
             std::max(frames - static_cast<double>(run.not_written), 1.0);
    };
    raw.push_back(per_written(output({"--output", dir + "/o-#.raw"})));
    all.push_back(per_written(output({"--output", dir + "/all.raw"})));
    dng.push_back(per_written(output({"--dng", dir + "/d-#.dng"})));
    plain_files.push_back(PlainWriteUs(dir, bytes, kOutputFrames, false, kPlainSources, held));
    plain_one.push_back(PlainWriteUs(dir, bytes, kOutputFrames, true, kPlainSources, held));
    // The DNG writer's samples lie in one buffer that it fills again for
    // each frame.
    plain_dng.push_back(
        PlainWriteUs(dir, dng_bytes, kOutputFrames, false, 1, held + kPlainSources * bytes));
  }
  const double raw_us = Median(raw);
  const double all_us = Median(all);
  const double dng_us = Median(dng);
  const double files_us = Median(plain_files);
  const double one_us = Median(plain_one);
  const double dng_plain_us = Median(plain_dng);
  Row(size + ", --output o-#.raw", Format("%.0f us/frame", raw_us),
      Format("plain write %.0f us/frame", files_us), Format("%.2fx", raw_us / files_us),
      Format("<= %.1fx", kTargetRawToWrite));
  Row(size + ", --output all.raw", Format("%.0f us/frame", all_us),
      Format("plain write %.0f us/frame", one_us), Format("%.2fx", all_us / one_us),
      Format("<= %.1fx", kTargetRawToWrite));
  Row(size + ", --dng d-#.dng", Format("%.0f us/frame", dng_us),
      Format("--output o-#: %.0f us", raw_us), Format("%.2fx", dng_us / raw_us),
      Format("<= %.1fx", kTargetDngToRaw));
  Row(size + ", --dng d-#.dng", Format("%.0f us/frame", dng_us),
      "plain write " + Format("%.0f us", dng_plain_us) +
          Format(" (%.1f MB)", static_cast<double>(dng_bytes) / 1e6),
      Format("%.2fx", dng_us / dng_plain_us), "");
  std::printf("  capture alone: %.0f us/frame; %.1f MB per frame; medians of %d rounds",
              Median(none), static_cast<double>(bytes) / 1e6, kOutputRounds);
  if (not_written != 0) {
    std::printf("; %llu frames not written", static_cast<unsigned long long>(not_written));
  }
  std::printf("\n");
  return ok;
}

bool MeasureAllOutputs() {
  char shm[] = "/dev/shm/talon-cam-bench-XXXXXX";
  char disk[] = "/var/tmp/talon-cam-bench-XXXXXX";
  if (mkdtemp(shm) == nullptr || mkdtemp(disk) == nullptr) {
    std::perror("talon_cam_bench: mkdtemp");
    return false;
  }
  bool ok = true;
  for (const auto& [width, height] :
       {std::pair<uint32_t, uint32_t>{640, 480}, {1920, 1080}, {4056, 3040}}) {
    ok = MeasureOutputs(width, height, "tmpfs", shm) && ok;
    ok = MeasureOutputs(width, height, "disk", disk) && ok;
  }
  std::error_code ignored;
  std::filesystem::remove_all(shm, ignored);
  std::filesystem::remove_all(disk, ignored);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string long_frames = "2000000";
  bool outputs_only = false;
  if (argc == 3 && std::strcmp(argv[1], "--long") == 0) {
    long_frames = argv[2];
  } else if (argc == 2 && std::strcmp(argv[1], "--outputs") == 0) {
    outputs_only = true;
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: talon_cam_bench [--long FRAMES | --outputs]\n");
    return 2;
  }
  talon_bench::UseFreshGraphCache();             // never the system cache directory
  char files[] = "/tmp/talon-cam-bench-XXXXXX";  // the metadata and trace files
  if (mkdtemp(files) == nullptr) {
    std::perror("talon_cam_bench: mkdtemp");
    return 1;
  }

  std::printf("talon_cam_bench: %s\n\n", TALON_CAM_PATH);
  Row("figure", "measured", "baseline (same run)", "ratio", "target");
  Row(std::string(42, '-'), std::string(22, '-'), std::string(26, '-'), std::string(9, '-'),
      std::string(10, '-'));
  bool ok = MeasureAllOutputs();
  if (outputs_only) {
    std::filesystem::remove(files);
    return ok ? 0 : 1;
  }
  std::printf("\nunthrottled simulated IPU, one 64x4 RAW10 stream:\n");
  setenv("PRISM_SIM_FPS", "0", 1);
  ok = MeasureEnd(files) && ok;
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
