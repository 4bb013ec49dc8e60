// Google Benchmark figures of the CSI-2 unpacker (support/csi2_unpack.h) at
// 640x480, 1920x1080 and 4056x3040, each conversion beside a memcpy of its
// output bytes in the same run: RAW10 to 16 and to 8 bits, RAW16 to 8, RAW8
// to 16. Rows lie as the IPU writes them (stride rounded up to 64 bytes).
// After the benchmarks, one line per conversion and size gives the two
// rates and their ratio (medians over the repetitions):
//
//   build/bin/csi2_unpack_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true [--kernel=NAME]
//
// --kernel picks one of the kernels the CPU runs (portable, sse2, ssse3,
// avx2, neon); without it, the one UnpackCsi2 uses. Single-threaded.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/csi2_unpack.h"

namespace {

using talon_support::Csi2Kernel;

struct Conversion {
  const char* name;
  uint32_t bits;
  uint32_t out_bytes;  // per sample
};

const Conversion kConversions[] = {
    {"RAW10 to 16", 10, 2}, {"RAW10 to 8", 10, 1}, {"RAW16 to 8", 16, 1}, {"RAW8 to 16", 8, 2}};

Csi2Kernel g_kernel;

// One frame's input and output, filled once (so that no page is first
// touched inside the timing).
struct Frame {
  uint32_t width, height;
  uint64_t stride;
  std::vector<uint8_t> data;
  std::vector<uint8_t> out;  // also the memcpy's destination
  std::vector<uint8_t> copy_source;

  Frame(const Conversion& conversion, uint32_t w, uint32_t h) : width(w), height(h) {
    stride = (talon_support::PayloadRowBytes(w, conversion.bits) + 63) / 64 * 64;
    data.resize(stride * h);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    out.assign(uint64_t{w} * h * conversion.out_bytes, 1);
    copy_source.assign(out.size(), 2);
  }
};

void BM_Unpack(benchmark::State& state) {
  const Conversion& conversion = kConversions[state.range(0)];
  Frame frame(conversion, static_cast<uint32_t>(state.range(1)),
              static_cast<uint32_t>(state.range(2)));
  for (auto _ : state) {
    const bool ok = conversion.out_bytes == 2
                        ? talon_support::UnpackCsi2With(
                              g_kernel, frame.data.data(), frame.stride, frame.width, frame.height,
                              conversion.bits, reinterpret_cast<uint16_t*>(frame.out.data()))
                        : talon_support::UnpackCsi2To8With(g_kernel, frame.data.data(),
                                                           frame.stride, frame.width, frame.height,
                                                           conversion.bits, frame.out.data());
    if (!ok) {
      state.SkipWithError("unpack refused the frame");
      return;
    }
    benchmark::DoNotOptimize(frame.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.out.size()));
  state.SetLabel(std::string(conversion.name) + ", " + talon_support::Csi2KernelName(g_kernel));
}

// Baseline: memcpy of the conversion's output bytes.
void BM_MemcpyOutput(benchmark::State& state) {
  const Conversion& conversion = kConversions[state.range(0)];
  Frame frame(conversion, static_cast<uint32_t>(state.range(1)),
              static_cast<uint32_t>(state.range(2)));
  for (auto _ : state) {
    std::memcpy(frame.out.data(), frame.copy_source.data(), frame.out.size());
    benchmark::DoNotOptimize(frame.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.out.size()));
  state.SetLabel(std::string("memcpy of ") + conversion.name + "'s output");
}

const std::pair<int64_t, int64_t> kSizes[] = {{640, 480}, {1920, 1080}, {4056, 3040}};

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t c = 0; c < 4; ++c) {
    for (auto [w, h] : kSizes) b->Args({c, w, h});
  }
  b->ArgNames({"conversion", "width", "height"})->Unit(benchmark::kMicrosecond)->UseRealTime();
}
BENCHMARK(BM_Unpack)->Apply(Sizes);
BENCHMARK(BM_MemcpyOutput)->Apply(Sizes);

// Seconds per iteration of each run, keyed by (name, conversion, width,
// height); Median() takes the median over the repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using Key = std::tuple<std::string, int64_t, int64_t, int64_t>;

  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      int64_t c = 0, w = 0, h = 0;
      if (std::sscanf(run.run_name.args.c_str(), "conversion:%ld/width:%ld/height:%ld", &c, &w,
                      &h) != 3) {
        continue;
      }
      seconds_[Key{run.run_name.function_name, c, w, h}].push_back(
          run.real_accumulated_time / static_cast<double>(run.iterations));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // 0 when the benchmark did not run.
  double Median(const Key& key) const {
    const auto it = seconds_.find(key);
    if (it == seconds_.end()) return 0;
    std::vector<double> values = it->second;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

 private:
  std::map<Key, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Csi2Kernel> kernels = talon_support::Csi2Kernels();
  g_kernel = kernels.back();
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--kernel=", 9) != 0) {
      rest.push_back(argv[i]);
      continue;
    }
    bool found = false;
    for (Csi2Kernel kernel : kernels) {
      if (std::strcmp(argv[i] + 9, talon_support::Csi2KernelName(kernel)) == 0) {
        g_kernel = kernel;
        found = true;
      }
    }
    if (!found) {
      std::fprintf(stderr, "--kernel: one of");
      for (Csi2Kernel kernel : kernels)
        std::fprintf(stderr, " %s", talon_support::Csi2KernelName(kernel));
      std::fprintf(stderr, " (what this CPU runs)\n");
      return 2;
    }
  }
  int rest_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_argc, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nkernel %s, medians over the repetitions\n",
              talon_support::Csi2KernelName(g_kernel));
  std::printf("%-12s %-10s %14s %16s %8s\n", "conversion", "size", "unpack GB/s", "memcpy GB/s",
              "ratio");
  for (int64_t c = 0; c < 4; ++c) {
    for (auto [w, h] : kSizes) {
      const double unpack_s = reporter.Median({"BM_Unpack", c, w, h});
      const double memcpy_s = reporter.Median({"BM_MemcpyOutput", c, w, h});
      if (unpack_s == 0 || memcpy_s == 0) continue;
      const double bytes = static_cast<double>(w * h * kConversions[c].out_bytes);
      char size[32];
      std::snprintf(size, sizeof(size), "%ldx%ld", w, h);
      std::printf("%-12s %-10s %14.2f %16.2f %7.2fx\n", kConversions[c].name, size,
                  bytes / unpack_s / 1e9, bytes / memcpy_s / 1e9, unpack_s / memcpy_s);
    }
  }
  std::printf("target: ratio <= 2x at 1920x1080 and 4056x3040\n");
  return 0;
}
