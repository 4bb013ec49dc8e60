// Google Benchmark figures of the capture service on the simulated IPU, each
// next to a baseline measured in the same run: the frame hand-over against a
// two-thread condition-variable round trip, and a warm CreateInstance (graph
// loaded from the cache) against a cold one (compiled and saved). The ratios
// are printed after the benchmarks.
//
//   build/bin/capture_bench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/capture_harness.h"
#include "platform/prism/prism_sim.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"

namespace {

// Last measured rates (per second), for the ratios printed at the end.
double g_round_trips_per_s = 0;
double g_frames_per_s = 0;
double g_cold_s = 0;
double g_warm_s = 0;

vireo::CaptureConfig SmallStream() {
  vireo::CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW8, 64, 4, 8, false}};
  return config;
}

// Baseline: one round trip between two threads over a mutex and two
// condition variables.
void BM_CondVarRoundTrip(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable ping_cv, pong_cv;
  uint64_t ping = 0, pong = 0;
  bool stop = false;
  std::thread echo([&] {
    std::unique_lock<std::mutex> lock(mutex);
    uint64_t seen = 0;
    while (true) {
      ping_cv.wait(lock, [&] { return ping > seen || stop; });
      if (stop) return;
      seen = ping;
      pong = seen;
      pong_cv.notify_one();
    }
  });
  uint64_t i = 0;
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    ping = ++i;
    ping_cv.notify_one();
    pong_cv.wait(lock, [&] { return pong >= i; });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  ping_cv.notify_one();
  echo.join();
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CondVarRoundTrip)->UseRealTime()->MinTime(0.5);

// One frame through the service with an unthrottled sensor: dequeue and
// re-enqueue, two buffers in flight.
void BM_CaptureFrameUnthrottled(benchmark::State& state) {
  PrismSimSetFrameRate(0);
  const vireo::CaptureConfig config = SmallStream();
  auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> buffers;
  for (int i = 0; i < 2 && factory != nullptr; ++i) buffers.push_back(factory->Create());
  auto service = vireo::CaptureService::CreateInstance(config);
  if (factory == nullptr || service == nullptr || buffers.back() == nullptr) {
    state.SkipWithError("no capture service");
    return;
  }
  for (auto& buffer : buffers) service->EnqueueRequest(buffer.get());
  uint64_t errors = 0;
  for (auto _ : state) {
    vireo::CaptureFrameBuffer* done = service->DequeueCompletedRequest();
    if (done->GetError() != vireo::CaptureError::SUCCESS) ++errors;
    service->EnqueueRequest(done);
  }
  service->Pause();
  while (service->DequeueCompletedRequest() != nullptr) {
  }
  service.reset();
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["errors"] = static_cast<double>(errors);
}
BENCHMARK(BM_CaptureFrameUnthrottled)->UseRealTime()->MinTime(1.0);

void BM_CreateInstance(benchmark::State& state) {
  const bool cold = state.range(0) == 1;
  PrismSimSetFrameRate(30);
  PrismSimSetCompileTimeMs(20);
  talon_bench::UseFreshGraphCache();
  if (!cold) vireo::CaptureService::CreateInstance(SmallStream());  // fills the cache
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      talon_bench::UseFreshGraphCache();
      state.ResumeTiming();
    }
    auto service = vireo::CaptureService::CreateInstance(SmallStream());
    if (service == nullptr) {
      state.SkipWithError("CreateInstance failed");
      return;
    }
    state.PauseTiming();
    service.reset();
    state.ResumeTiming();
  }
  state.SetLabel(cold ? "cold: compile (20 ms simulated) and save" : "warm: cache hit");
}
BENCHMARK(BM_CreateInstance)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();

// Collects the rates of the finished runs for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      const double seconds_per_iteration =
          run.iterations > 0 ? run.real_accumulated_time / static_cast<double>(run.iterations) : 0;
      if (name.rfind("BM_CondVarRoundTrip", 0) == 0 && seconds_per_iteration > 0)
        g_round_trips_per_s = 1 / seconds_per_iteration;
      if (name.rfind("BM_CaptureFrameUnthrottled", 0) == 0 && seconds_per_iteration > 0)
        g_frames_per_s = 1 / seconds_per_iteration;
      if (name == "BM_CreateInstance/1/iterations:10/real_time") g_cold_s = seconds_per_iteration;
      if (name == "BM_CreateInstance/0/iterations:10/real_time") g_warm_s = seconds_per_iteration;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  talon_bench::UseFreshGraphCache();  // never the system cache directory
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (g_round_trips_per_s > 0 && g_frames_per_s > 0) {
    std::printf(
        "unthrottled capture: %.0f frames/s = %.3fx the condition-variable round trip "
        "(%.0f/s); target >= 50000 frames/s\n",
        g_frames_per_s, g_frames_per_s / g_round_trips_per_s, g_round_trips_per_s);
  }
  if (g_cold_s > 0 && g_warm_s > 0) {
    std::printf(
        "CreateInstance: warm %.2f ms, cold %.2f ms (20 ms of it simulated compile): "
        "warm is %.1fx faster\n",
        g_warm_s * 1e3, g_cold_s * 1e3, g_cold_s / g_warm_s);
  }
  return 0;
}
