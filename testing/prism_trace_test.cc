// The single-buffered cycles read from the runtime's trace, against the
// worker's own warning for each such cycle.

#include "testing/prism_trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace talon_testing {
namespace {

// Catches a count that misses cycles or counts double-buffered ones: the
// benchmarks report it in place of the warning. Every frame completes
// before the stop, so each warned cycle is a wait of the trace.
TEST(SingleBufferCycleCount, MatchesTheWorkersWarnings) {
  TempDir dir;
  setenv("TEST_UNDECLARED_OUTPUTS_DIR", dir.path().c_str(), 1);
  PrismSimSetCompileTimeMs(0);
  PrismSimSetFrameRate(0);
  vireo::CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, false}};
  constexpr int kFrames = 300;
  for (int buffers : {2, 3}) {
    SCOPED_TRACE(buffers);
    auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
    auto service = vireo::CaptureService::CreateInstance(config);
    ASSERT_NE(factory, nullptr);
    ASSERT_NE(service, nullptr);
    std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> pool;
    ScopedLogCapture log;
    ScopedSingleBufferCycleCount count;
    int enqueued = 0;
    for (int i = 0; i < buffers; ++i, ++enqueued) {
      pool.push_back(factory->Create());
      ASSERT_EQ(service->EnqueueRequest(pool.back().get()), vireo::CaptureError::SUCCESS);
    }
    for (int dequeued = 0; dequeued < kFrames; ++dequeued) {
      vireo::CaptureFrameBuffer* frame = service->DequeueCompletedRequest();
      ASSERT_NE(frame, nullptr);
      if (enqueued < kFrames) {
        ASSERT_EQ(service->EnqueueRequest(frame), vireo::CaptureError::SUCCESS);
        ++enqueued;
      }
    }
    service->Pause();
    const int warnings = log.Count("Only one frame buffer in request queue.");
    EXPECT_GT(warnings, 0);  // the last frames at least
    EXPECT_EQ(count.cycles(), static_cast<uint64_t>(warnings));
  }
  PrismSimSetFrameRate(30);
  unsetenv("TEST_UNDECLARED_OUTPUTS_DIR");
}

}  // namespace
}  // namespace talon_testing
