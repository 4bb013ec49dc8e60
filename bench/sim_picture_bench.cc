// Google Benchmark figures of the simulated sensor's pictures at 4056x3040
// and 1920x1080 (RAW10, RAW16): a frame of the colour bars, a frame of the
// scene once its size is rendered, and in the same run a memcpy of the
// frame's bytes, from one source (in the last-level cache when it fits) and
// from four in turn (from memory, as the scene's frames read theirs); then
// the scene's first frame at a size (which renders it):
//
//   build/bin/sim_picture_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true
//
// A frame is written as a run writes it (past the CPU's caches on x86-64).
// Single-threaded.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/prism/prism_sim.h"

namespace {

enum Case { kMemcpy, kBars, kScene, kMemcpyFromMemory };

// Sources enough for a copy to read from memory, not from the last-level
// cache (as the scene's frames do: it keeps four noisy copies of a frame).
constexpr int kColdSources = 4;

uint64_t Stride(uint32_t width, uint32_t bits) {
  return ((uint64_t{width} * bits + 7) / 8 + 63) / 64 * 64;
}

void BM_Frame(benchmark::State& state) {
  const auto what = static_cast<Case>(state.range(0));
  const auto width = static_cast<uint32_t>(state.range(1));
  const auto height = static_cast<uint32_t>(state.range(2));
  const auto bits = static_cast<uint32_t>(state.range(3));
  const uint64_t stride = Stride(width, bits);
  std::vector<uint8_t> frame(stride * height, 1);
  std::vector<std::vector<uint8_t>> sources(what == kMemcpyFromMemory ? kColdSources : 1,
                                            std::vector<uint8_t>(frame.size(), 2));
  PrismSimSetPattern(what == kScene ? "scene" : "bars");
  PrismSimRenderFrame(frame.data(), stride, width, height, bits, 0);  // renders the scene
  uint32_t sequence = 1;
  for (auto _ : state) {
    if (what == kMemcpy || what == kMemcpyFromMemory) {
      std::memcpy(frame.data(), sources[sequence++ % sources.size()].data(), frame.size());
    } else {
      PrismSimRenderFrame(frame.data(), stride, width, height, bits, sequence++);
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}

// A size the simulator has not rendered yet at every iteration, of every
// repetition: one row fewer each time.
void BM_SceneFirstFrame(benchmark::State& state) {
  static uint32_t rows_fewer = 0;
  const auto width = static_cast<uint32_t>(state.range(0));
  const auto height = static_cast<uint32_t>(state.range(1));
  const auto bits = static_cast<uint32_t>(state.range(2));
  const uint64_t stride = Stride(width, bits);
  std::vector<uint8_t> frame(stride * height, 1);
  PrismSimSetPattern("scene");
  for (auto _ : state) {
    PrismSimRenderFrame(frame.data(), stride, width, height - ++rows_fewer, bits, 0);
    benchmark::DoNotOptimize(frame.data());
  }
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int what : {kMemcpy, kMemcpyFromMemory, kBars, kScene}) {
    for (auto [w, h] : {std::pair{4056, 3040}, std::pair{1920, 1080}}) {
      for (int bits : {10, 16}) b->Args({what, w, h, bits});
    }
  }
}

BENCHMARK(BM_Frame)
    ->ArgNames({"memcpy0_bars1_scene2_cold_memcpy3", "w", "h", "bits"})
    ->Apply(Sizes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SceneFirstFrame)
    ->ArgNames({"w", "h", "bits"})
    ->Args({4056, 3040, 10})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
