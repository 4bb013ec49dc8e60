#include "bench/capture_harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "bench/stderr_to_file.h"
#include "platform/prism/prism_sim.h"
#include "support/frame_stats.h"
#include "support/latency_histogram.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "testing/prism_trace.h"

namespace talon_bench {

namespace {

// The cache directories made so far; removed at exit.
std::vector<std::string>& CacheDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void RemoveCacheDirs() {
  for (const std::string& dir : CacheDirs()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

}  // namespace

std::string UseFreshGraphCache() {
  char path[] = "/tmp/talon-bench-graphs-XXXXXX";
  if (mkdtemp(path) == nullptr) return "";
  if (CacheDirs().empty()) std::atexit(RemoveCacheDirs);
  CacheDirs().push_back(path);
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", path, 1);
  return path;
}

namespace {

// The frame buffers and the running service of one run.
struct CaptureSetUp {
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory;
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> pool;
  std::unique_ptr<vireo::CaptureService> service;
};

// Makes `buffers` frame buffers and the running service; false when any of
// them could not be made.
bool SetUpCapture(const vireo::CaptureConfig& config, int buffers, CaptureSetUp* setup) {
  setup->factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  if (setup->factory == nullptr) return false;
  for (int i = 0; i < buffers; ++i) {
    setup->pool.push_back(setup->factory->Create());
    if (setup->pool.back() == nullptr) return false;
  }
  setup->service = vireo::CaptureService::CreateInstance(config);
  return setup->service != nullptr;
}

// The clocks over the capture loop.
struct LoopCost {
  int64_t wall_ns = 0;
  int64_t process_cpu_ns = 0;
  int64_t client_cpu_ns = 0;  // the calling thread's
};

// Enqueues every buffer, then hands each one back as it comes until
// `frames` are in or none is left in flight; each dequeued buffer goes to
// `stats` and `records`.
LoopCost CaptureLoop(vireo::CaptureService* service,
                     const std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>>& pool,
                     uint64_t frames, talon_support::FrameStats* stats,
                     std::vector<talon_support::FrameRecord>* records) {
  const int64_t cpu_start = ProcessCpuNs();
  const int64_t client_cpu_start = ThreadCpuNs();
  const int64_t wall_start = BoottimeNs();
  // Every buffer goes back until the last frame is in, as talon-cam does, so
  // that the worker never waits a timeout at the end for a buffer that would
  // not come; the runs still in flight then are cancelled, not counted.
  uint64_t in_flight = 0;
  for (const auto& buffer : pool) {
    if (service->EnqueueRequest(buffer.get()) == vireo::CaptureError::SUCCESS) ++in_flight;
  }
  while (stats->frames() < frames && in_flight > 0) {
    vireo::CaptureFrameBuffer* buffer = service->DequeueCompletedRequest();
    const int64_t now = BoottimeNs();
    if (buffer == nullptr) break;
    --in_flight;
    talon_support::FrameRecord record;
    record.error = buffer->GetError();
    record.dequeue_ns = now;
    if (record.error == vireo::CaptureError::SUCCESS) {
      record.sof_ns = buffer->GetTimestampStartNs();
      record.eof_ns = buffer->GetTimestampEndNs();
    }
    stats->Add(record);
    records->push_back(record);
    if (stats->frames() == frames) break;
    if (service->EnqueueRequest(buffer) == vireo::CaptureError::SUCCESS) ++in_flight;
  }
  LoopCost cost;
  cost.wall_ns = BoottimeNs() - wall_start;
  cost.client_cpu_ns = ThreadCpuNs() - client_cpu_start;
  cost.process_cpu_ns = ProcessCpuNs() - cpu_start;
  return cost;
}

// Stops the service at once (the runs in flight are cancelled) and takes
// back every buffer.
void StopAtOnce(std::unique_ptr<vireo::CaptureService> service) {
  service->Pause();
  while (service->DequeueCompletedRequest() != nullptr) {
  }
}

// The run's figures from its statistics and the loop's clocks.
void Figures(const talon_support::FrameStats& stats, uint64_t frames, const LoopCost& cost,
             CaptureRun* run) {
  const talon_support::Summary summary = stats.Summarize();
  run->ok = stats.frames() == frames;
  run->frames = summary.frames;
  run->errors = summary.errors;
  run->dropped = summary.dropped;
  const double delivered = static_cast<double>(summary.frames - summary.errors);
  const double sensor_frames = delivered + static_cast<double>(summary.dropped);
  run->delivered_pct = sensor_frames > 0 ? 100.0 * delivered / sensor_frames : 0;
  run->latency_p50_ns = summary.latency_p50_ns;
  run->latency_p99_ns = summary.latency_p99_ns;
  run->wall_s = static_cast<double>(cost.wall_ns) / 1e9;
  run->frames_per_s = run->wall_s > 0 ? static_cast<double>(summary.frames) / run->wall_s : 0;
  if (summary.frames > 0) {
    const double count = static_cast<double>(summary.frames);
    run->worker_cpu_ns_per_frame =
        static_cast<double>(cost.process_cpu_ns - cost.client_cpu_ns) / count;
    run->process_cpu_ns_per_frame = static_cast<double>(cost.process_cpu_ns) / count;
  }
}

}  // namespace

CaptureRun RunCapture(const vireo::CaptureConfig& config, double fps, int buffers, uint64_t frames,
                      bool count_single_buffer) {
  CaptureRun run;
  PrismSimSetFrameRate(fps);
  StderrToFile log;
  std::optional<talon_testing::ScopedSingleBufferCycleCount> single_buffer;
  if (count_single_buffer) single_buffer.emplace();
  CaptureSetUp setup;
  if (!SetUpCapture(config, buffers, &setup)) return run;
  // Drops are counted against the simulated sensor's known period.
  const int64_t period_ns = fps > 0 ? static_cast<int64_t>(1e9 / fps + 0.5) : 0;
  talon_support::FrameStats stats(period_ns);
  run.records.reserve(frames);
  const LoopCost cost = CaptureLoop(setup.service.get(), setup.pool, frames, &stats, &run.records);
  StopAtOnce(std::move(setup.service));
  log.Restore();
  Figures(stats, frames, cost, &run);
  if (single_buffer.has_value()) run.single_buffer_cycles = single_buffer->cycles();
  return run;
}

RoundTrip MeasureCondVarRoundTrip(uint64_t count) {
  std::mutex mutex;
  std::condition_variable ping_cv, pong_cv;
  uint64_t ping = 0, pong = 0;  // guarded by mutex
  std::thread echo([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (uint64_t i = 1; i <= count; ++i) {
      ping_cv.wait(lock, [&] { return ping >= i; });
      pong = i;
      pong_cv.notify_one();
    }
  });
  talon_support::LatencyHistogram samples;
  const int64_t start = BoottimeNs();
  for (uint64_t i = 1; i <= count; ++i) {
    const int64_t t0 = BoottimeNs();
    std::unique_lock<std::mutex> lock(mutex);
    ping = i;
    ping_cv.notify_one();
    pong_cv.wait(lock, [&] { return pong >= i; });
    lock.unlock();
    samples.Add(BoottimeNs() - t0);
  }
  const int64_t end = BoottimeNs();
  echo.join();
  RoundTrip result;
  result.p50_ns = samples.Percentile(50);
  result.p99_ns = samples.Percentile(99);
  result.per_s =
      end > start ? static_cast<double>(count) * 1e9 / static_cast<double>(end - start) : 0;
  return result;
}

}  // namespace talon_bench
