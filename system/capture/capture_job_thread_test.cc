#include "system/capture/capture_job_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_frame_buffer_factory_impl.h"
#include "system/capture/held_buffers.h"
#include "testing/log_capture.h"
#include "testing/prism_trace.h"
#include "testing/temp_dir.h"
#include "testing/test_pipeline.h"
#include "testing/wait_until.h"

namespace vireo {

// Stages, in one step under the queue's lock, what a stop racing a completion
// looks like to a blocked client: a completed buffer queued and a stop
// requested before the client runs again.
class CaptureJobThreadPeer {
 public:
  static void CompleteThenStop(CaptureJobThread* worker, CaptureFrameBufferImpl* frame_buffer) {
    {
      MutexLock lock(&worker->completed_mutex_);
      frame_buffer->SetStatus(CaptureStatus::COMPLETED);
      worker->completed_queue_.push_back(frame_buffer);
      ++worker->stop_generation_;
    }
    worker->completed_cv_.SignalAll();
  }
};

namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedLogCapture;
using talon_testing::ScopedPrismTrace;
using talon_testing::WaitUntil;
using ::testing::ElementsAre;

constexpr char kSingle[] = "Only one frame buffer in request queue. Double buffering is not used.";

CaptureConfig OneStream(uint32_t timeout_ms) {
  CaptureConfig config;
  config.timeout_ms = timeout_ms;
  config.stream_configs = {{CSI2_RAW10, 64, 4, 10, false}};
  return config;
}

class CaptureJobThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TEST_UNDECLARED_OUTPUTS_DIR", dir_.path().c_str(), 1);
    PrismSimSetCompileTimeMs(0);
    PrismSimSetFrameRate(1000);
  }
  void TearDown() override {
    unsetenv("TEST_UNDECLARED_OUTPUTS_DIR");
    PrismSimSetFrameRate(30);
  }

  void Build(uint32_t timeout_ms) {
    config_ = OneStream(timeout_ms);
    ASSERT_EQ(pipeline_.BuildWithHelpersAndJob(config_), CaptureError::SUCCESS);
    factory_ = std::make_unique<CaptureFrameBufferFactoryImpl>(config_);
    ASSERT_EQ(factory_->Initialize(), CaptureError::SUCCESS);
    worker_ = std::make_unique<CaptureJobThread>(pipeline_.device, pipeline_.job, &pipeline_.nodes,
                                                 &pipeline_.sof, &pipeline_.eof, timeout_ms);
  }

  CaptureFrameBufferImpl* NewBuffer() {
    buffers_.push_back(factory_->Create());
    return static_cast<CaptureFrameBufferImpl*>(buffers_.back().get());
  }

  talon_testing::TempDir dir_;
  CaptureConfig config_;
  talon_testing::TestPipeline pipeline_;
  std::unique_ptr<CaptureFrameBufferFactoryImpl> factory_;
  std::vector<std::unique_ptr<CaptureFrameBuffer>> buffers_;
  std::unique_ptr<CaptureJobThread> worker_;  // destroyed first
};

// Catches a cycle that submits more than two runs, submits a RUNNING buffer
// again, or retires out of order (buffers P, Q, R pending at the start).
TEST_F(CaptureJobThreadTest, ThreeBuffersPendingAtStart) {
  Build(200);
  CaptureFrameBufferImpl* p = NewBuffer();
  CaptureFrameBufferImpl* q = NewBuffer();
  CaptureFrameBufferImpl* r = NewBuffer();
  worker_->EnqueueRequest(p);
  worker_->EnqueueRequest(q);
  worker_->EnqueueRequest(r);
  EXPECT_EQ(r->GetStatus(), CaptureStatus::ENQUEUED);
  ScopedLogCapture log;
  ScopedPrismTrace trace;
  worker_->Start();
  EXPECT_EQ(worker_->DequeueCompletedRequest(), p);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), q);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), r);
  worker_->Finish();
  EXPECT_EQ(log.Count(kSingle), 1);
  EXPECT_EQ(trace.Calls("OzyEnqueueJob").size(), 3u);
  EXPECT_EQ(trace.Calls("OzyWaitForCompletionWithTimeout").size(), 3u);
  for (auto* fb : {p, q, r}) {
    EXPECT_EQ(fb->GetStatus(), CaptureStatus::COMPLETED);
    EXPECT_EQ(fb->GetError(), CaptureError::SUCCESS);
    EXPECT_LT(fb->GetTimestampStartNs(), fb->GetTimestampEndNs());
  }
  EXPECT_LT(p->GetTimestampEndNs(), q->GetTimestampStartNs());
  EXPECT_LT(q->GetTimestampEndNs(), r->GetTimestampStartNs());
  // Stopped: nothing completed, so null at once.
  EXPECT_EQ(worker_->DequeueCompletedRequest(), nullptr);
}

// Catches a worker that waits for a second buffer forever, or never warns.
TEST_F(CaptureJobThreadTest, OneBufferGoesAloneAfterTheTimeout) {
  Build(20);
  CaptureFrameBufferImpl* a = NewBuffer();
  ScopedLogCapture log;
  worker_->Start();
  worker_->EnqueueRequest(a);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), a);
  EXPECT_EQ(a->GetError(), CaptureError::SUCCESS);
  worker_->Finish();
  EXPECT_EQ(log.Count(kSingle), 1);
}

// Catches a zero timeout that waits for a second buffer, or that spins and
// floods the log when nothing is pending. (The IPU wait has a zero timeout
// too, so the frame itself may time out.)
TEST_F(CaptureJobThreadTest, ZeroTimeoutCapturesAtOnce) {
  Build(0);
  ScopedLogCapture log;
  worker_->Start();
  CaptureFrameBufferImpl* a = NewBuffer();
  worker_->EnqueueRequest(a);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), a);
  EXPECT_EQ(a->GetStatus(), CaptureStatus::COMPLETED);
  worker_->Finish();
  EXPECT_GE(log.Count(kSingle), 1);
  // At most one supply warning per wait for a buffer: no busy loop.
  EXPECT_LE(log.Count("Capture framebuffer not enqueued fast, pending queue size 0"), 2);
}

// Catches a worker that ends the capture, or stays silent, when the client
// breaks the supply rule; it keeps waiting and captures what comes later.
// And one that floods the log meanwhile (a line per timeout: with a 1 ms
// timeout a thousand a second): the warning comes once per stretch, then
// its count.
TEST_F(CaptureJobThreadTest, BrokenSupplyRuleKeepsWaitingAndWarnsOnce) {
  Build(5);
  ScopedLogCapture log;
  worker_->Start();
  ASSERT_TRUE(WaitUntil([&] { return worker_->StarvedTimeouts() >= 5; }));
  CaptureFrameBufferImpl* a = NewBuffer();
  CaptureFrameBufferImpl* b = NewBuffer();
  worker_->EnqueueRequest(a);
  worker_->EnqueueRequest(b);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), a);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), b);
  EXPECT_EQ(a->GetError(), CaptureError::SUCCESS);
  worker_->Finish();
  EXPECT_EQ(log.Count("Capture framebuffer not enqueued fast, pending queue size 0"), 1);
  std::vector<std::string> counts;
  for (const std::string& m : log.Messages()) {
    if (m.rfind("Capture framebuffer not enqueued fast: ", 0) == 0) counts.push_back(m);
  }
  ASSERT_EQ(counts.size(), 1u);
  const uint64_t starved = std::stoull(counts[0].substr(counts[0].find(": ") + 2));
  EXPECT_GE(starved, 5u) << counts[0];
}

// Catches a missed wake-up: Finish must release a worker waiting for
// buffers and every client blocked in DequeueCompletedRequest.
TEST_F(CaptureJobThreadTest, FinishReleasesEveryWaiter) {
  Build(60000);
  worker_->Start();
  std::vector<std::future<CaptureFrameBufferImpl*>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(
        std::async(std::launch::async, [this] { return worker_->DequeueCompletedRequest(); }));
  }
  ASSERT_TRUE(WaitUntil([&] { return worker_->BlockedClientCount() == 3; }));
  worker_->Finish();
  // Nothing but Finish wakes them: the worker has stopped.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& c : clients) EXPECT_EQ(c.wait_until(deadline), std::future_status::ready);
  if (worker_->BlockedClientCount() > 0) {  // left blocked: end the test
    worker_->Start();
    for (int i = 0; i < 3; ++i) worker_->EnqueueRequest(NewBuffer());
  }
  for (auto& c : clients) EXPECT_EQ(c.get(), nullptr);
  worker_->Finish();
  worker_->Finish();  // a second Finish does nothing
}

// Catches a dequeue that keeps returning null after the worker is started
// again, instead of blocking until a buffer completes.
TEST_F(CaptureJobThreadTest, DequeueBlocksAgainAfterTheNextStart) {
  Build(60000);
  worker_->Start();
  worker_->Finish();
  worker_->Start();
  auto client =
      std::async(std::launch::async, [this] { return worker_->DequeueCompletedRequest(); });
  ASSERT_TRUE(WaitUntil([&] {
    return worker_->BlockedClientCount() == 1 ||
           client.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  CaptureFrameBufferImpl* a = NewBuffer();
  worker_->EnqueueRequest(a);
  worker_->EnqueueRequest(NewBuffer());
  EXPECT_EQ(client.get(), a);
  worker_->Finish();
}

// Catches submitted buffers left behind at a stop, or ENQUEUED buffers
// captured or lost by it.
TEST_F(CaptureJobThreadTest, FinishDrainsSubmittedRunsOnly) {
  Build(1000);
  PrismSimSetFrameRate(5);  // slow frames: the stop lands while runs are out
  talon_testing::TestPipeline slow;
  ASSERT_EQ(slow.BuildWithHelpersAndJob(config_), CaptureError::SUCCESS);
  worker_ = std::make_unique<CaptureJobThread>(slow.device, slow.job, &slow.nodes, &slow.sof,
                                               &slow.eof, 1000);
  CaptureFrameBufferImpl* a = NewBuffer();
  CaptureFrameBufferImpl* b = NewBuffer();
  CaptureFrameBufferImpl* c = NewBuffer();
  ScopedPrismTrace trace;
  ScopedLogCapture log;
  worker_->EnqueueRequest(a);
  worker_->EnqueueRequest(b);
  worker_->EnqueueRequest(c);
  worker_->Start();
  ASSERT_TRUE(WaitUntil([&] { return trace.Calls("OzyEnqueueJob").size() >= 2; }));
  worker_->Finish();
  EXPECT_EQ(a->GetStatus(), CaptureStatus::COMPLETED);
  EXPECT_EQ(b->GetStatus(), CaptureStatus::COMPLETED);
  EXPECT_EQ(c->GetStatus(), CaptureStatus::ENQUEUED);
  for (auto* fb : {a, b}) {
    if (fb->GetError() == CaptureError::CAPTURE_CANCELLED) {
      EXPECT_EQ(fb->GetTimestampStartNs(), 0);
      EXPECT_EQ(fb->GetTimestampEndNs(), 0);
    } else {
      EXPECT_EQ(fb->GetError(), CaptureError::SUCCESS);
    }
  }
  EXPECT_GE(log.Count("WaitIpuCapture cancelled"), 1);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), a);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), b);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), nullptr);
  // The buffer behind them is captured after the next start.
  PrismSimSetFrameRate(1000);
  worker_->Start();
  EXPECT_EQ(worker_->DequeueCompletedRequest(), c);
  worker_->Finish();
  worker_.reset();
}

// Catches a clear that drops buffers the worker picked, or is not refused
// while the worker runs.
TEST_F(CaptureJobThreadTest, ClearPendingRequestsOnlyWhileStopped) {
  Build(60000);
  CaptureFrameBufferImpl* a = NewBuffer();
  worker_->EnqueueRequest(a);
  ScopedLogCapture log;
  worker_->ClearPendingRequests();  // not started: cleared
  worker_->Start();
  CaptureFrameBufferImpl* b = NewBuffer();
  worker_->EnqueueRequest(b);
  worker_->ClearPendingRequests();  // running: refused
  EXPECT_EQ(log.Count("ClearPendingRequests ignored"), 1);
  CaptureFrameBufferImpl* c = NewBuffer();
  worker_->EnqueueRequest(c);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), b);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), c);
  worker_->Finish();
  EXPECT_EQ(a->GetStatus(), CaptureStatus::ENQUEUED);  // untouched by the clear
}

// Catches a buffer accepted twice into the queues.
TEST_F(CaptureJobThreadTest, EnqueueUnlessHeldRefusesAHeldBuffer) {
  Build(60000);
  CaptureFrameBufferImpl* a = NewBuffer();
  EXPECT_EQ(worker_->EnqueueRequestUnlessHeld(a), held_buffers::Hold::kTaken);
  EXPECT_EQ(worker_->EnqueueRequestUnlessHeld(a), held_buffers::Hold::kHeldByThis);
  worker_->ClearPendingRequests();
  EXPECT_EQ(worker_->EnqueueRequestUnlessHeld(a), held_buffers::Hold::kTaken);
  worker_->ClearPendingRequests();
}

// Catches per-frame failures that stop the capture or break the order.
TEST_F(CaptureJobThreadTest, PerFrameFailuresComeBackInOrder) {
  Build(200);
  std::vector<CaptureFrameBufferImpl*> fbs;
  for (int i = 0; i < 4; ++i) fbs.push_back(NewBuffer());
  ScopedFailpoints fail("OzyFinalizeBuffers:2:2,OzyEnqueueJob:1:2");
  ScopedLogCapture log;
  for (auto* fb : fbs) worker_->EnqueueRequest(fb);
  worker_->Start();
  for (auto* fb : fbs) EXPECT_EQ(worker_->DequeueCompletedRequest(), fb);
  worker_->Finish();
  EXPECT_EQ(fbs[0]->GetError(), CaptureError::SUCCESS);
  EXPECT_EQ(fbs[1]->GetError(), CaptureError::INVALID_REQUEST);
  EXPECT_EQ(fbs[2]->GetError(), CaptureError::GENERIC_FAILURE);
  EXPECT_EQ(fbs[3]->GetError(), CaptureError::SUCCESS);
  EXPECT_EQ(fbs[1]->GetTimestampStartNs(), 0);
  EXPECT_EQ(log.Count("EnqueueIpuCapture failed: invalid request"), 1);
  EXPECT_EQ(log.Count("EnqueueIpuCapture failed: generic failure"), 1);
}

// Catches a failed wait that keeps stale timestamps or logs at the wrong
// severity.
TEST_F(CaptureJobThreadTest, FailedWaitZeroesTimestamps) {
  Build(200);
  CaptureFrameBufferImpl* a = NewBuffer();
  CaptureFrameBufferImpl* b = NewBuffer();
  a->SetTimestampStartNs(111);
  ScopedFailpoints fail("OzyWaitForCompletionWithTimeout:5:1");
  ScopedLogCapture log;
  worker_->EnqueueRequest(a);
  worker_->EnqueueRequest(b);
  worker_->Start();
  EXPECT_EQ(worker_->DequeueCompletedRequest(), a);
  EXPECT_EQ(worker_->DequeueCompletedRequest(), b);
  worker_->Finish();
  EXPECT_EQ(a->GetError(), CaptureError::TIMEOUT);
  EXPECT_EQ(a->GetTimestampStartNs(), 0);
  EXPECT_EQ(b->GetError(), CaptureError::SUCCESS);
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR), ElementsAre("WaitIpuCapture failed: timeout"));
}

// Catches a client released by a stop that returns null although a
// completed buffer is queued: the buffer then waits for a later call that a
// client ending its capture never makes.
TEST_F(CaptureJobThreadTest, StopReleasesAClientWithTheQueuedBuffer) {
  Build(60000);
  worker_->Start();
  auto client =
      std::async(std::launch::async, [this] { return worker_->DequeueCompletedRequest(); });
  ASSERT_TRUE(WaitUntil([&] { return worker_->BlockedClientCount() == 1; }));
  CaptureFrameBufferImpl* done = NewBuffer();
  CaptureJobThreadPeer::CompleteThenStop(worker_.get(), done);
  EXPECT_EQ(client.get(), done);
  worker_->Finish();
}

// Catches double buffering switched off: with two buffers pending, the
// second run must be on the IPU before the worker waits for the first.
TEST_F(CaptureJobThreadTest, SecondRunSubmittedBeforeTheFirstWait) {
  Build(1000);
  worker_->EnqueueRequest(NewBuffer());
  worker_->EnqueueRequest(NewBuffer());
  ScopedPrismTrace trace;
  worker_->Start();
  ASSERT_NE(worker_->DequeueCompletedRequest(), nullptr);
  ASSERT_NE(worker_->DequeueCompletedRequest(), nullptr);
  worker_->Finish();
  std::vector<std::string> submissions;
  for (const std::string& f : trace.Functions()) {
    if (f == "OzyEnqueueJob" || f == "OzyWaitForCompletionWithTimeout") submissions.push_back(f);
  }
  EXPECT_THAT(submissions,
              ElementsAre("OzyEnqueueJob", "OzyEnqueueJob", "OzyWaitForCompletionWithTimeout",
                          "OzyWaitForCompletionWithTimeout"));
}

// Catches a failed thread creation that escapes without undoing the start.
TEST_F(CaptureJobThreadTest, FailedThreadStartLeavesItStopped) {
  Build(1000);
  internal::FailThreadStartsForTesting(1);
  EXPECT_THROW(worker_->Start(), std::system_error);
  EXPECT_FALSE(worker_->running());
  // Stopped, a dequeue does not block; a start left half done would block
  // it for good, so it is bounded here and released by a stop.
  auto dequeue = std::async(std::launch::async, [&] { return worker_->DequeueCompletedRequest(); });
  if (dequeue.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    worker_->Finish();
    FAIL() << "DequeueCompletedRequest blocked after the failed start";
  }
  EXPECT_EQ(dequeue.get(), nullptr);
  worker_->Start();
  EXPECT_TRUE(worker_->running());
  worker_->Finish();
}

// Catches a missed check of the status invariants.
TEST_F(CaptureJobThreadTest, NullBufferIsFatal) {
  Build(1000);
  EXPECT_DEATH(worker_->EnqueueRequest(nullptr), "Check failed: frame_buffer != nullptr ");
}

}  // namespace
}  // namespace vireo
