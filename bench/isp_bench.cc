// Google Benchmark figures of the software ISP (isp/isp.h): packed RAW10 to
// sRGB RGBx with every stage (automatic white balance, colour matrix, sRGB
// curve) at 1920x1080 and 4056x3040 on one and two threads, half size, NV12
// and I420, with the statistics' histogram, and each kernel alone on one
// thread; beside, in the same run, a memcpy of the output's bytes and
// GStreamer's bayer2rgb (8-bit RGGB to RGBx, bilinear, no matrix or curve)
// on the same size, pushed through the element in process by GstHarness
// (no thread hand-over). bayer2rgb takes a new output buffer from the heap
// for each frame; glibc would map a picture of more than 32 MB afresh each
// time (page faults on every frame), so the benchmark keeps large blocks in
// the heap (mallopt) and bayer2rgb's buffers are reused as memory is.
// After the benchmarks, one line per case gives the medians over the
// repetitions, the ratios to the baselines and the targets:
//
//   build/bin/isp_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true
//
// "cpu" is the process's CPU time per frame (all threads), "real" the
// wall-clock time.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "isp/isp.h"
#include "isp/isp_kernels.h"

#if TALON_ISP_BENCH_GSTREAMER
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#endif

namespace {

using talon_isp::PixelFormat;

// A RAW10 frame of a smooth scene with noise, rows as the IPU writes them
// (stride rounded up to 64 bytes), filled once.
struct RawFrame {
  uint32_t width, height;
  uint64_t stride;
  std::vector<uint8_t> bytes;

  RawFrame(uint32_t w, uint32_t h) : width(w), height(h) {
    stride = ((uint64_t{w} * 10 + 7) / 8 + 63) / 64 * 64;
    bytes.assign(stride * h, 0);
    uint32_t noise = 12345;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        noise = noise * 1664525u + 1013904223u;
        const double scene = 0.5 + 0.4 * std::sin(x * 0.01) * std::cos(y * 0.013);
        const double gain = (x % 2 == 0 && y % 2 == 0) ? 0.5 : (x % 2 && y % 2) ? 0.7 : 1.0;
        const uint32_t s = std::min<uint32_t>(
            1023, static_cast<uint32_t>(64 + scene * gain * 900 + (noise >> 28)));
        uint8_t* group = &bytes[y * stride + x / 4 * 5];
        group[x % 4] = static_cast<uint8_t>(s >> 2);
        group[4] = static_cast<uint8_t>(group[4] | (s & 3) << (2 * (x % 4)));
      }
    }
  }
  talon_isp::RawImage Image() const {
    return {bytes.data(), stride, width, height, talon_isp::RawFormat::kRaw10};
  }
};

talon_isp::Settings EveryStage(bool half_size) {
  talon_isp::Settings settings;
  settings.black_level = 64;
  settings.auto_white_balance = true;
  settings.ccm = {1.62f, -0.45f, -0.17f, -0.28f, 1.51f, -0.23f, 0.02f, -0.58f, 1.56f};
  settings.transfer = talon_isp::Transfer::kSrgb;
  settings.half_size = half_size;
  return settings;
}

// The picture's planes, touched once before the timing.
struct Picture {
  std::array<std::vector<uint8_t>, 3> planes;
  talon_isp::Image image;
  uint64_t bytes = 0;

  Picture(PixelFormat format, uint32_t w, uint32_t h) {
    image.format = format;
    image.width = w;
    image.height = h;
    const std::array<uint64_t, 3> sizes = talon_isp::PlaneSizes(format, w, h);
    image.strides = talon_isp::PlaneStrides(format, w);
    for (int i = 0; i < 3; ++i) {
      planes[i].assign(sizes[i], 1);
      image.planes[i] = sizes[i] ? planes[i].data() : nullptr;
      bytes += sizes[i];
    }
  }
};

const char* FormatName(int64_t format) {
  static const char* const kNames[] = {"RGB", "RGBx", "BGRx", "NV12", "I420", "GRAY8"};
  return kNames[format];
}

// Args: width, height, threads, format, half size, statistics.
void BM_Develop(benchmark::State& state) {
  const RawFrame raw(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
  const bool half = state.range(4) != 0;
  const talon_isp::Settings settings = EveryStage(half);
  uint32_t ow = 0, oh = 0;
  talon_isp::OutputSize(raw.width, raw.height, half, &ow, &oh);
  Picture picture(static_cast<PixelFormat>(state.range(3)), ow, oh);
  talon_isp::Isp isp(static_cast<int>(state.range(2)));
  talon_isp::Stats stats;
  talon_isp::Stats* want_stats = state.range(5) ? &stats : nullptr;
  talon_isp::Error error;
  // The first frame's extra statistics pass stays out of the timing.
  if (!isp.Develop(raw.Image(), settings, picture.image, want_stats, &error)) {
    state.SkipWithError(("Develop refused: " + error.argument + " " + error.reason).c_str());
    return;
  }
  for (auto _ : state) {
    isp.Develop(raw.Image(), settings, picture.image, want_stats, nullptr);
    benchmark::DoNotOptimize(picture.planes[0].data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * picture.bytes));
  state.SetLabel(std::string("RAW10 to ") + FormatName(state.range(3)) + (half ? ", half" : "") +
                 (state.range(5) ? ", with stats" : "") + ", " +
                 talon_isp::IspKernelName(talon_isp::BestKernel()));
}

// As Python's talon.develop of a uint16 array: 16-bit samples, fixed gains,
// matrix and sRGB, RGB out, no statistics, a new Isp(threads) per frame
// (its band threads started and joined each time) or one kept (Args:
// width, height, threads, new Isp per frame).
void BM_DevelopU16Rgb(benchmark::State& state) {
  const RawFrame raw(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
  std::vector<uint16_t> samples(uint64_t{raw.width} * raw.height);
  for (uint32_t y = 0; y < raw.height; ++y) {
    for (uint32_t x = 0; x < raw.width; ++x) {
      const uint8_t* group = &raw.bytes[y * raw.stride + x / 4 * 5];
      samples[uint64_t{y} * raw.width + x] =
          static_cast<uint16_t>(group[x % 4] << 2 | (group[4] >> (2 * (x % 4)) & 3));
    }
  }
  const talon_isp::RawImage image{samples.data(), uint64_t{raw.width} * 2, raw.width, raw.height,
                                  talon_isp::RawFormat::kU16};
  talon_isp::Settings settings = EveryStage(false);
  settings.auto_white_balance = false;
  settings.wb_gains = {1.5f, 1.0f, 1.8f};
  Picture picture(PixelFormat::kRgb, raw.width, raw.height);
  const int threads = static_cast<int>(state.range(2));
  const bool fresh = state.range(3) != 0;
  talon_isp::Isp kept(threads);
  kept.Develop(image, settings, picture.image, nullptr, nullptr);
  for (auto _ : state) {
    if (fresh) {
      talon_isp::Isp isp(threads);
      isp.Develop(image, settings, picture.image, nullptr, nullptr);
    } else {
      kept.Develop(image, settings, picture.image, nullptr, nullptr);
    }
    benchmark::DoNotOptimize(picture.planes[0].data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string("u16 to RGB, ") + (fresh ? "new Isp(" : "kept Isp(") +
                 std::to_string(threads) + ") per frame");
}

// The cost of handing bands to the Isp's threads: a frame too small to
// take time (64x128, two bands), on one thread or two (Args: threads).
void BM_Handoff(benchmark::State& state) {
  const RawFrame raw(64, 128);
  talon_isp::Settings settings = EveryStage(false);
  settings.auto_white_balance = false;
  Picture picture(PixelFormat::kRgbx, raw.width, raw.height);
  talon_isp::Isp isp(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    isp.Develop(raw.Image(), settings, picture.image, nullptr, nullptr);
    benchmark::ClobberMemory();
  }
  state.SetLabel("64x128 RGBx on " + std::to_string(state.range(0)) + " thread(s)");
}

// Args: width, height, kernel (index into IspKernels()): one band on the
// caller's thread, RGBx, every stage with the gains fixed.
void BM_Kernel(benchmark::State& state) {
  const std::vector<talon_isp::IspKernel> kernels = talon_isp::IspKernels();
  if (state.range(2) >= static_cast<int64_t>(kernels.size())) {
    state.SkipWithError("this CPU does not run the kernel");
    return;
  }
  const talon_isp::IspKernel kernel = kernels[state.range(2)];
  const RawFrame raw(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
  Picture picture(PixelFormat::kRgbx, raw.width, raw.height);
  const talon_isp::Frame frame =
      talon_isp::MakeFrame(raw.Image(), EveryStage(false), picture.image, {1.9f, 1.0f, 1.4f});
  talon_isp::BandScratch scratch;
  for (auto _ : state) {
    talon_isp::RawStats stats;
    talon_isp::DevelopBand(kernel, frame, 0, raw.height, false, &scratch, &stats);
    benchmark::DoNotOptimize(stats);
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string("RAW10 to RGBx, one band, ") + talon_isp::IspKernelName(kernel));
}

// Baseline: memcpy of the RGBx picture's bytes. Args: width, height.
void BM_Memcpy(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) * state.range(1) * 4;
  std::vector<uint8_t> from(bytes, 2), to(bytes, 1);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetLabel("memcpy of the RGBx picture");
}

#if TALON_ISP_BENCH_GSTREAMER
// Baseline: GStreamer's bayer2rgb, 8-bit RGGB to RGBx. Args: width, height.
void BM_Bayer2rgb(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  GstHarness* harness = gst_harness_new("bayer2rgb");
  if (harness == nullptr) {
    state.SkipWithError("no bayer2rgb element (GStreamer's bad plugins)");
    return;
  }
  const std::string in = "video/x-bayer,format=rggb,width=" + std::to_string(w) +
                         ",height=" + std::to_string(h) + ",framerate=30/1";
  const std::string out = "video/x-raw,format=RGBx,width=" + std::to_string(w) +
                          ",height=" + std::to_string(h) + ",framerate=30/1";
  gst_harness_set_caps_str(harness, in.c_str(), out.c_str());
  GstBuffer* input = gst_buffer_new_allocate(nullptr, static_cast<gsize>(w) * h, nullptr);
  {
    GstMapInfo map;
    gst_buffer_map(input, &map, GST_MAP_WRITE);
    for (gsize i = 0; i < map.size; ++i) map.data[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    gst_buffer_unmap(input, &map);
  }
  auto push_pull = [&] {
    if (gst_harness_push(harness, gst_buffer_ref(input)) != GST_FLOW_OK) return false;
    GstBuffer* output = gst_harness_pull(harness);
    if (output == nullptr) return false;
    gst_buffer_unref(output);
    return true;
  };
  if (!push_pull()) {
    state.SkipWithError("bayer2rgb refused the frame");
  } else {
    for (auto _ : state) push_pull();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w * h * 4));
  state.SetLabel("GStreamer bayer2rgb, 8-bit RGGB to RGBx");
  gst_buffer_unref(input);
  gst_harness_teardown(harness);
}
#endif

constexpr int64_t kRgbx = static_cast<int64_t>(PixelFormat::kRgbx);
constexpr int64_t kNv12 = static_cast<int64_t>(PixelFormat::kNv12);
constexpr int64_t kI420 = static_cast<int64_t>(PixelFormat::kI420);
const std::pair<int64_t, int64_t> kSizes[] = {{1920, 1080}, {4056, 3040}};

void DevelopCases(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : kSizes) {
    for (int64_t threads : {1, 2}) b->Args({w, h, threads, kRgbx, 0, 0});
    b->Args({w, h, 1, kRgbx, 1, 0});
    b->Args({w, h, 1, kNv12, 0, 0});
    b->Args({w, h, 1, kI420, 0, 0});
    b->Args({w, h, 1, kRgbx, 0, 1});
  }
  b->ArgNames({"width", "height", "threads", "format", "half", "stats"});
}

void SizeCases(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : kSizes) b->Args({w, h});
  b->ArgNames({"width", "height"});
}

void KernelCases(benchmark::internal::Benchmark* b) {
  for (int64_t kernel = 0; kernel < 4; ++kernel) b->Args({1920, 1080, kernel});
  b->ArgNames({"width", "height", "kernel"});
}

BENCHMARK(BM_Develop)
    ->Apply(DevelopCases)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_DevelopU16Rgb)
    ->ArgsProduct({{1920}, {1080}, {0, 1}, {1, 0}})
    ->ArgNames({"width", "height", "threads", "new"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Handoff)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("threads")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Kernel)->Apply(KernelCases)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Apply(SizeCases)->Unit(benchmark::kMillisecond)->UseRealTime();
#if TALON_ISP_BENCH_GSTREAMER
BENCHMARK(BM_Bayer2rgb)->Apply(SizeCases)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// Real and CPU seconds per iteration of each run, by (name, arguments).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using Key = std::pair<std::string, std::string>;

  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double n = static_cast<double>(run.iterations);
      Times& times = times_[Key{run.run_name.function_name, run.run_name.args}];
      times.real.push_back(run.real_accumulated_time / n);
      times.cpu.push_back(run.cpu_accumulated_time / n);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Medians in milliseconds; 0 when the benchmark did not run.
  double Real(const std::string& name, const std::string& args) const {
    return Median(name, args, false);
  }
  double Cpu(const std::string& name, const std::string& args) const {
    return Median(name, args, true);
  }

 private:
  struct Times {
    std::vector<double> real, cpu;
  };
  double Median(const std::string& name, const std::string& args, bool cpu) const {
    const auto it = times_.find(Key{name, args});
    if (it == times_.end()) return 0;
    std::vector<double> v = cpu ? it->second.cpu : it->second.real;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2] * 1e3;
  }
  std::map<Key, Times> times_;
};

std::string SizeArgs(int64_t w, int64_t h) {
  return "width:" + std::to_string(w) + "/height:" + std::to_string(h);
}

std::string DevelopArgs(int64_t w, int64_t h, int64_t threads, int64_t format, int64_t half,
                        int64_t stats) {
  return SizeArgs(w, h) + "/threads:" + std::to_string(threads) +
         "/format:" + std::to_string(format) + "/half:" + std::to_string(half) +
         "/stats:" + std::to_string(stats);
}

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
#if TALON_ISP_BENCH_GSTREAMER
  gst_init(&argc, &argv);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nmedians over the repetitions, ms per frame; kernel %s\n",
              talon_isp::IspKernelName(talon_isp::BestKernel()));
  std::printf("%-36s %9s %9s %10s %10s %12s\n", "case", "real", "cpu", "memcpy", "bayer2rgb",
              "/bayer2rgb");
  for (auto [w, h] : kSizes) {
    const double copy = reporter.Real("BM_Memcpy", SizeArgs(w, h));
    const double bayer = reporter.Real("BM_Bayer2rgb", SizeArgs(w, h));
    struct Case {
      int64_t threads, format, half, stats;
    };
    for (const Case c : {Case{1, kRgbx, 0, 0}, Case{2, kRgbx, 0, 0}, Case{1, kRgbx, 1, 0},
                         Case{1, kNv12, 0, 0}, Case{1, kI420, 0, 0}, Case{1, kRgbx, 0, 1}}) {
      const std::string args = DevelopArgs(w, h, c.threads, c.format, c.half, c.stats);
      const double real = reporter.Real("BM_Develop", args);
      if (real == 0) continue;
      char name[64];
      std::snprintf(name, sizeof(name), "%ldx%ld %s%s%s, %ld thread%s", w, h, FormatName(c.format),
                    c.half ? " half" : "", c.stats ? " +stats" : "", c.threads,
                    c.threads > 1 ? "s" : "");
      std::printf("%-36s %9.3f %9.3f %10.3f %10.3f %11.2fx\n", name, real,
                  reporter.Cpu("BM_Develop", args), copy, bayer, bayer > 0 ? real / bayer : 0.0);
    }
  }
  for (int64_t threads : {0, 1}) {
    for (int64_t fresh : {1, 0}) {
      const std::string args = SizeArgs(1920, 1080) + "/threads:" + std::to_string(threads) +
                               "/new:" + std::to_string(fresh);
      const double real = reporter.Real("BM_DevelopU16Rgb", args);
      if (real == 0) continue;
      char name[64];
      std::snprintf(name, sizeof(name), "1920x1080 u16 RGB, %s Isp(%ld)", fresh ? "new" : "kept",
                    threads);
      const double bayer = reporter.Real("BM_Bayer2rgb", SizeArgs(1920, 1080));
      std::printf("%-36s %9.3f %9.3f %10s %10.3f %11.2fx\n", name, real,
                  reporter.Cpu("BM_DevelopU16Rgb", args), "", bayer,
                  bayer > 0 ? real / bayer : 0.0);
    }
  }
  const double one = reporter.Real("BM_Handoff", "threads:1");
  const double two = reporter.Real("BM_Handoff", "threads:2");
  if (one > 0 && two > 0) {
    std::printf("band hand-off: 64x128 on two threads %.1f us more than on one (%.1f us)\n",
                (two - one) * 1e3, one * 1e3);
  }
  const std::vector<talon_isp::IspKernel> kernels = talon_isp::IspKernels();
  for (size_t k = 0; k < kernels.size() && k < 4; ++k) {
    const double real =
        reporter.Real("BM_Kernel", SizeArgs(1920, 1080) + "/kernel:" + std::to_string(k));
    if (real > 0) {
      std::printf("1920x1080 RGBx, one band, %-10s %9.3f\n", talon_isp::IspKernelName(kernels[k]),
                  real);
    }
  }
  std::printf(
      "targets: 1920x1080 RGBx <= 2x bayer2rgb on 1 thread, <= 1x on 2 threads; "
      "4056x3040 RGBx cpu < 33.3 ms (30 fps on less than one core); Python's develop "
      "(new Isp(0) per frame) <= 2x bayer2rgb\n");
  return 0;
}
