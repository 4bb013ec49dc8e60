// Tests of jobs and the run engine: buffer binding, run order and limits,
// the sensor timeline's timestamps, time-outs, resets, injected failures,
// locked buffers and release order.

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/boottime.h"
#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/prism_trace.h"
#include "testing/test_pipeline.h"
#include "testing/wait_until.h"

namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedPrismTrace;
using talon_testing::TestPipeline;
using talon_testing::TestStream;
using vireo::BoottimeNs;

constexpr uint64_t kLongTimeout = 60'000'000'000;  // 60 s: only a hang reaches it

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrismSimSetCompileTimeMs(0);
    PrismSimSetFrameRate(1000);
  }
  void TearDown() override {
    PrismSimSetCompileTimeMs(20);
    PrismSimSetFrameRate(30);
  }
};

// Catches malformed finalize entries being bound: wrong kinds, a missing or
// repeated node, a dead buffer, a short stride, a small buffer.
TEST_F(JobTest, FinalizeChecksEntries) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{43, 64, 4, 10, 0}, TestStream{18, 16, 4, 8, 0}}), OZY_SUCCESS);
  ASSERT_EQ(p.Finalize(0), OZY_SUCCESS);
  OzyDeviceBuffer* small = nullptr;
  ASSERT_EQ(OzyCreateDeviceBufferManaged(p.allocator, 80 * 4 - 1, 64, 0, 0, &small), OZY_SUCCESS);
  using Mutation = void (*)(std::vector<OzyFinalizeBufferInfo>&, OzyDeviceBuffer*);
  const std::vector<std::pair<const char*, Mutation>> cases = {
      {"mipi kind 0", [](auto& e, OzyDeviceBuffer*) { e[0].buffer_kind = 0; }},
      {"dram kind 1", [](auto& e, OzyDeviceBuffer*) { e[2].buffer_kind = 1; }},
      {"repeated node", [](auto& e, OzyDeviceBuffer*) { e[3].node = e[2].node; }},
      {"foreign node",
       [](auto& e, OzyDeviceBuffer* b) { e[1].node = reinterpret_cast<OzyNode*>(b); }},
      {"dead buffer", [](auto& e, OzyDeviceBuffer*) { e[2].buffer = 0xDEADBEEF; }},
      {"null buffer", [](auto& e, OzyDeviceBuffer*) { e[2].buffer = 0; }},
      {"short stride", [](auto& e, OzyDeviceBuffer*) { e[2].row_stride_bytes = 79; }},
      {"small buffer",
       [](auto& e, OzyDeviceBuffer* b) { e[2].buffer = reinterpret_cast<uint64_t>(b); }},
      {"stride past buffer", [](auto& e, OzyDeviceBuffer*) { e[3].row_stride_bytes = 17; }},
  };
  for (const auto& [name, mutate] : cases) {
    std::vector<OzyFinalizeBufferInfo> entries = p.Entries(1);
    mutate(entries, small);
    EXPECT_EQ(OzyFinalizeBuffers(p.job, entries.data(), 4), OZY_ERROR_INVALID_REQUEST) << name;
  }
  std::vector<OzyFinalizeBufferInfo> entries = p.Entries(1);
  EXPECT_EQ(OzyFinalizeBuffers(p.job, entries.data(), 3), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyFinalizeBuffers(p.job, nullptr, 4), OZY_ERROR_INVALID_REQUEST);
  // A refused call leaves the earlier binding: the run writes into set 0.
  ASSERT_EQ(OzyEnqueueJob(p.job), OZY_SUCCESS);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  EXPECT_EQ(p.Sequence(0, 0), p.eof.sequence);
  EXPECT_EQ(p.Sequence(0, 1), p.eof.sequence);
  EXPECT_EQ(p.Bytes(1, 0), std::vector<uint8_t>(80 * 4, 0));
  EXPECT_EQ(OzyDeleteDeviceBuffer(small), OZY_SUCCESS);
}

// Catches runs completing out of order, the status records describing a
// later run than the wait's, and a third outstanding run being accepted.
TEST_F(JobTest, RunsCompleteInOrderTwoOutstandingAtMost) {
  PrismSimSetFrameRate(50);  // room to re-enqueue in time, also under emulation
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_INVALID_REQUEST);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  EXPECT_EQ(OzyEnqueueJob(p.job), OZY_ERROR_OVERFLOW);
  uint32_t last = 0;
  for (int i = 0; i < 6; ++i) {
    const int set = i % 2;
    ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
    EXPECT_EQ(p.Sequence(set, 0), p.sof.sequence);
    EXPECT_EQ(p.eof.sequence, p.sof.sequence);
    if (i > 0) {
      EXPECT_EQ(p.sof.sequence, last + 1);
    }
    last = p.sof.sequence;
    if (i < 4) {
      ASSERT_EQ(p.FinalizeAndEnqueue(set), OZY_SUCCESS);
    }
  }
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_INVALID_REQUEST);
}

// Catches wrong timestamps: SOF after EOF, a readout other than 0.8 periods,
// or frames not one period apart when runs are enqueued in time.
TEST_F(JobTest, TimestampsFollowTheSensorAt30Fps) {
  PrismSimSetFrameRate(30);
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  const double period = 1e9 / 30;
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  int64_t last_sof = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
    EXPECT_LT(p.sof.time_ns, p.eof.time_ns);
    EXPECT_NEAR(static_cast<double>(p.eof.time_ns - p.sof.time_ns), 0.8 * period, 1.0);
    if (i > 0) {
      EXPECT_NEAR(static_cast<double>(p.sof.time_ns - last_sof), period, 1.0);
    }
    last_sof = p.sof.time_ns;
    if (i < 2) {
      ASSERT_EQ(p.FinalizeAndEnqueue(i % 2), OZY_SUCCESS);
    }
  }
}

// Catches a late run capturing a frame that already started instead of the
// next one (the drop must show as a gap of two periods).
TEST_F(JobTest, LateRunTakesTheNextFrame) {
  PrismSimSetFrameRate(50);  // 20 ms frames: a 10 ms window to enqueue in
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  const OzyTransferEventStatus first = p.sof;
  // Past the next frame's start: that frame is missed.
  talon_testing::SleepUntilBoottime(first.time_ns + 30'000'000);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  EXPECT_EQ(p.sof.sequence, first.sequence + 2);
  EXPECT_EQ(p.sof.time_ns - first.time_ns, 40'000'000);
  EXPECT_GT(p.sof.time_ns, first.time_ns + 30'000'000);
}

// Catches the unthrottled timeline making a frame start before the previous
// one ended or with a non-positive length.
TEST_F(JobTest, UnthrottledFramesFollowEachOther) {
  PrismSimSetFrameRate(0);
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{16, 64, 4, 16, 0}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  OzyTransferEventStatus last_eof{};
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
    EXPECT_EQ(p.eof.time_ns - p.sof.time_ns, 1000);
    EXPECT_EQ(p.Sequence(i % 2, 0), p.eof.sequence);
    if (i > 0) {
      EXPECT_GE(p.sof.time_ns, last_eof.time_ns);
      EXPECT_EQ(p.eof.sequence, last_eof.sequence + 1);
    }
    last_eof = p.eof;
    ASSERT_EQ(p.FinalizeAndEnqueue(i % 2), OZY_SUCCESS);
  }
}

// Catches a timed-out run that still writes into its buffer later, or that
// the next wait stands for again.
TEST_F(JobTest, TimeOutAbandonsTheRun) {
  PrismSimSetFrameRate(10);  // EOF at least 80 ms after the enqueue
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  PrismSimRunStats before{};
  PrismSimGetRunStats(&before);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_TIMEOUT);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  EXPECT_EQ(p.Sequence(1, 0), p.sof.sequence);
  EXPECT_EQ(p.Bytes(0, 0), std::vector<uint8_t>(80 * 4, 0));
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_INVALID_REQUEST);
  PrismSimRunStats after{};
  PrismSimGetRunStats(&after);
  EXPECT_EQ(after.timed_out, before.timed_out + 1);
  EXPECT_EQ(after.completed, before.completed + 1);
}

// Catches a reset that does not wake a wait under way (it would sleep until
// its own time-out: the frame ends 80 s later), a later wait for an ended run
// that succeeds, and an ended run writing into its buffer.
TEST_F(JobTest, ResetCancelsWaitUnderWayAndLaterWaits) {
  PrismSimSetFrameRate(0.01);
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  constexpr int64_t kTimeoutMs = 20'000;
  std::atomic<OzyError> first{-1};
  int64_t waited_ms = 0;
  const size_t blocked = PrismSimBlockedWaitCount();
  std::thread worker([&] {
    const auto start = std::chrono::steady_clock::now();
    first = OzyWaitForCompletionWithTimeout(p.job, kTimeoutMs * 1'000'000);
    waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
  });
  while (PrismSimBlockedWaitCount() <= blocked) std::this_thread::yield();
  EXPECT_EQ(OzyResetDevice(p.device), OZY_SUCCESS);
  worker.join();
  EXPECT_EQ(first.load(), OZY_ERROR_CANCELLED);
  EXPECT_LT(waited_ms, kTimeoutMs);  // woken by the reset, not by its own time-out
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_ERROR_CANCELLED);
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(p.Bytes(0, 0), std::vector<uint8_t>(80 * 4, 0));
  EXPECT_EQ(p.Bytes(1, 0), std::vector<uint8_t>(80 * 4, 0));
  EXPECT_EQ(OzyUnloadDeviceConfig(p.job), OZY_SUCCESS);
}

// Catches a reset that ends a run whose frame had already ended.
TEST_F(JobTest, ResetKeepsAFinishedRun) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  // The run's frame starts within one period of the enqueue and lasts 0.8.
  talon_testing::SleepUntilBoottime(BoottimeNs() + 2'000'000);
  ASSERT_EQ(OzyResetDevice(p.device), OZY_SUCCESS);
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  EXPECT_EQ(p.Sequence(0, 0), p.sof.sequence);
}

// Catches an injected wait failure that leaves its run for the next wait or
// lets it write into its buffer.
TEST_F(JobTest, InjectedWaitFailureAbandonsTheRun) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
  {
    ScopedFailpoints fail("OzyWaitForCompletionWithTimeout:1:1");
    EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_ERROR_GENERIC);
    ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  }
  EXPECT_EQ(p.Sequence(1, 0), p.sof.sequence);
  EXPECT_EQ(p.Bytes(0, 0), std::vector<uint8_t>(80 * 4, 0));
  EXPECT_EQ(OzyWaitForCompletionWithTimeout(p.job, 0), OZY_ERROR_INVALID_REQUEST);
}

// Catches a run writing into a buffer the CPU holds locked, and the client
// error not being counted.
TEST_F(JobTest, LockedBufferIsNotWritten) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
  void* data = nullptr;
  ASSERT_EQ(OzyLockDeviceBuffer(p.buffers[0][0], &data), OZY_SUCCESS);
  const uint64_t before = PrismSimLockedBufferWrites();
  ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
  EXPECT_EQ(PrismSimLockedBufferWrites(), before + 1);
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (int i = 0; i < 80 * 4; ++i) ASSERT_EQ(bytes[i], 0) << i;
  ASSERT_EQ(OzyUnlockDeviceBuffer(p.buffers[0][0]), OZY_SUCCESS);
}

// Catches enqueueing without a loaded config or without bound buffers, and
// an unload that leaves its runs to complete.
TEST_F(JobTest, ConfigGatesEnqueueAndUnloadCancels) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  EXPECT_EQ(OzyEnqueueJob(p.job), OZY_ERROR_INVALID_REQUEST);  // nothing bound
  ASSERT_EQ(p.Finalize(0), OZY_SUCCESS);
  EXPECT_EQ(OzyLoadDeviceConfig(p.job), OZY_ERROR_INVALID_REQUEST);  // loaded twice
  PrismSimSetFrameRate(0.01);
  ASSERT_EQ(OzyEnqueueJob(p.job), OZY_SUCCESS);
  EXPECT_EQ(OzyUnloadDeviceConfig(p.job), OZY_SUCCESS);
  EXPECT_EQ(OzyEnqueueJob(p.job), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyUnloadDeviceConfig(p.job), OZY_ERROR_INVALID_REQUEST);
  ASSERT_EQ(OzyLoadDeviceConfig(p.job), OZY_SUCCESS);
}

// Catches a release in the capture service's order (device first) failing,
// crashing, leaving handles, or a run writing into a buffer deleted
// meanwhile after it was freed.
TEST_F(JobTest, ReleaseInServiceOrder) {
  const size_t live = PrismSimLiveHandleCount();
  {
    TestPipeline p;
    ASSERT_EQ(p.Build({TestStream{43, 64, 4, 10, 0}, TestStream{18, 16, 4, 8, 0}}), OZY_SUCCESS);
    ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
    ASSERT_EQ(OzyDeleteDeviceBuffer(p.buffers[0][1]), OZY_SUCCESS);
    p.buffers[0][1] = nullptr;
    ASSERT_EQ(OzyWaitForCompletionWithTimeout(p.job, kLongTimeout), OZY_SUCCESS);
    EXPECT_EQ(p.Sequence(0, 0), p.sof.sequence);
    // A run still outstanding when the device goes first.
    ASSERT_EQ(p.FinalizeAndEnqueue(1), OZY_SUCCESS);
    p.Release();
  }
  EXPECT_EQ(PrismSimLiveHandleCount(), live);
}

// Catches a trace line of OzyFinalizeBuffers without its entries.
TEST_F(JobTest, FinalizeTracesEntries) {
  TestPipeline p;
  ASSERT_EQ(p.Build({TestStream{}}), OZY_SUCCESS);
  ScopedPrismTrace trace;
  ASSERT_EQ(p.Finalize(0), OZY_SUCCESS);
  const auto calls = trace.Calls("OzyFinalizeBuffers");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find(", 1, 0xdeadbeef, 80}"), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find(", 0, 0x"), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find("]/2) = 0"), std::string::npos) << calls[0];
}

}  // namespace
