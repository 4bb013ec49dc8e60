// CaptureSession and FrameLease on the simulated IPU, so that their
// threading also runs under ThreadSanitizer.

#include "support/capture_session.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "testing/wait_until.h"

namespace talon_support {
namespace {

vireo::CaptureConfig Config() {
  vireo::CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW8, 64, 4, 8, false},
                           {vireo::CSI2_RAW16, 32, 4, 16, true}};
  return config;
}

// The next frame, waiting long enough for the unthrottled simulator.
vireo::CaptureFrameBuffer* Next(CaptureSession* session) {
  WaitEnd end;
  return session->Next(10000, &end);
}

std::shared_ptr<CaptureSession> Create(uint32_t buffers) {
  vireo::CaptureError error;
  std::string reason;
  std::shared_ptr<CaptureSession> session =
      CaptureSession::Create(Config(), buffers, &error, &reason);
  EXPECT_NE(session, nullptr) << reason;
  return session;
}

// Catches a lease that frees or re-enqueues its frame buffer while another
// thread still reads it, or a session destroyed under a lease that outlives
// the element's hold (ASan: use after free; TSan: unordered release).
TEST(CaptureSessionTest, LeasesOutliveTheOwnerAcrossThreads) {
  PrismSimSetFrameRate(0);
  std::shared_ptr<CaptureSession> session = Create(4);
  ASSERT_NE(session, nullptr);
  session->Start();
  std::vector<std::shared_ptr<FrameLease>> leases;
  for (int i = 0; i < 3; ++i) {
    vireo::CaptureFrameBuffer* frame = Next(session.get());
    ASSERT_NE(frame, nullptr);
    vireo::CaptureError lock_error;
    leases.push_back(FrameLease::Lock(session, frame, &lock_error));
    ASSERT_NE(leases.back(), nullptr);
    EXPECT_EQ(leases.back()->stride(vireo::CSI2_RAW16), 64u);
  }
  session->Stop();
  session.reset();  // the element went to NULL; the leases keep everything
  std::vector<std::thread> readers;
  std::vector<unsigned> sums(leases.size());
  for (size_t n = 0; n < leases.size(); ++n) {
    readers.emplace_back([held = std::move(leases[n]), sum = &sums[n]]() mutable {
      for (int i = 0; i < 256; ++i) *sum += held->data(vireo::CSI2_RAW8)[i];
      held.reset();  // the last one destroys the session on this thread
    });
  }
  for (std::thread& t : readers) t.join();
  for (unsigned sum : sums) EXPECT_GT(sum, 0u);  // the colour bars, not zeroed memory
  EXPECT_EQ(PrismSimLiveHandleCount(), 0u);
}

// Whether thread `tid` of this process sleeps (state S in its stat line).
bool Sleeping(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end = line.rfind(')');  // the name may hold spaces
  return end != std::string::npos && line.size() > end + 2 && line[end + 2] == 'S';
}

// Catches a Wake, a Stop or an interrupt check that leaves the capture
// thread blocked in Next while the holders keep every frame buffer, and a
// restart that loses buffers. The release comes only once the thread sleeps
// inside Next (nothing else there blocks), and a Next that stays blocked
// fails within a bound.
TEST(CaptureSessionTest, WakeStopAndInterruptReleaseABlockedNext) {
  PrismSimSetFrameRate(0);
  enum How { kWake, kStop, kInterrupt };
  const struct {
    How how;
    WaitEnd end;
  } kCases[] = {
      {kWake, WaitEnd::kWoken}, {kStop, WaitEnd::kWoken}, {kInterrupt, WaitEnd::kInterrupted}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.how));
    std::shared_ptr<CaptureSession> session = Create(2);
    ASSERT_NE(session, nullptr);
    std::atomic<bool> interrupt{false};
    session->SetInterruptCheck([&] { return interrupt.load(); });
    session->Start();
    std::vector<std::shared_ptr<FrameLease>> held;
    for (int i = 0; i < 2; ++i) {
      vireo::CaptureError lock_error;
      held.push_back(FrameLease::Lock(session, Next(session.get()), &lock_error));
    }
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    vireo::CaptureFrameBuffer* got = reinterpret_cast<vireo::CaptureFrameBuffer*>(1);
    WaitEnd end = WaitEnd::kFrame;
    std::thread capture([&] {
      tid = static_cast<pid_t>(syscall(SYS_gettid));
      got = session->Next(3600000, &end);  // nothing left: waits
      returned = true;
    });
    ASSERT_TRUE(talon_testing::WaitUntil(
        [&] { return tid != 0 && session->waiting() == 1 && Sleeping(tid); }));
    if (c.how == kStop) {
      session->Stop();
    } else if (c.how == kWake) {
      session->Wake();
    } else {
      interrupt = true;
    }
    const bool released = talon_testing::WaitUntil([&] { return returned.load(); });
    if (!released) {  // fail rather than hang: frames to capture wake it
      held.clear();
      session->Start();
    }
    capture.join();
    ASSERT_TRUE(released) << "Next stayed blocked";
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(end, c.end);
    held.clear();  // both back in the service
    session->SetInterruptCheck(nullptr);
    session->Start();
    for (int i = 0; i < 4; ++i) {
      vireo::CaptureFrameBuffer* frame = Next(session.get());
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame->GetError(), vireo::CaptureError::SUCCESS);
      session->Requeue(frame);
    }
    session->Stop();
  }
}

// Catches frames that the newest take hands back unread being counted as
// the sensor's drops (they leave a gap in the sequence the reader sees), or
// a take that is not the newest. Unthrottled, every run captures the next
// sensor frame: the skipped ones are exactly the gap.
TEST(CaptureSessionTest, NewestTakeSkipsWithoutCountingDrops) {
  PrismSimSetFrameRate(0);
  std::shared_ptr<CaptureSession> session = Create(4);
  ASSERT_NE(session, nullptr);
  PrismSimRunStats before{};
  PrismSimGetRunStats(&before);
  session->Start();
  TakenFrame first;
  ASSERT_EQ(session->Take(10000, &first), WaitEnd::kFrame);
  ASSERT_NE(first.lease, nullptr);  // held: three buffers left to capture into
  ASSERT_GE(first.record.sensor_sequence, 0);
  ASSERT_TRUE(talon_testing::WaitUntil([&] {
    PrismSimRunStats now{};
    PrismSimGetRunStats(&now);
    return now.completed >= before.completed + 4;
  }));
  TakenFrame newest;
  ASSERT_EQ(session->TakeNewest(10000, &newest), WaitEnd::kFrame);
  ASSERT_NE(newest.lease, nullptr);
  EXPECT_GE(newest.skipped_before, 2u);
  EXPECT_EQ(newest.record.sensor_sequence,
            first.record.sensor_sequence + 1 + static_cast<int64_t>(newest.skipped_before));
  EXPECT_EQ(newest.record.dropped_before, 0u);
  EXPECT_EQ(session->dropped(), 0u);
  EXPECT_EQ(session->skipped(), newest.skipped_before);
  session->Stop();
}

// Catches a drain that loses the frames completed before the stop, records
// those beyond the last one wanted, counts the runs it cancelled as frames
// or errors, or keeps frame buffers out of play. Unthrottled, with nobody
// taking, every buffer completes and waits; at a sensor too slow to deliver
// within the test, every run is in flight when the drain stops it.
TEST(CaptureSessionTest, DrainHandsTheCompletedAndCountsTheCancelled) {
  const struct {
    double fps;
    uint64_t wanted;  // frames the take asks for
    uint64_t handed;
  } kCases[] = {{0, 2, 2}, {0.001, 2, 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fps);
    PrismSimSetFrameRate(c.fps);
    std::shared_ptr<CaptureSession> session = Create(3);
    ASSERT_NE(session, nullptr);
    PrismSimRunStats before{};
    PrismSimGetRunStats(&before);
    session->Start();
    ASSERT_TRUE(talon_testing::WaitUntil([&] {
      PrismSimRunStats now{};
      PrismSimGetRunStats(&now);
      return c.fps == 0 ? now.completed >= before.completed + 3 : PrismSimBlockedWaitCount() > 0;
    }));
    std::vector<int64_t> sequences;
    const uint64_t cancelled = session->Drain([&](TakenFrame* taken) {
      EXPECT_EQ(taken->record.error, vireo::CaptureError::SUCCESS);
      EXPECT_NE(taken->lease, nullptr);
      sequences.push_back(taken->record.sensor_sequence);
      return sequences.size() < c.wanted;
    });
    EXPECT_EQ(sequences.size(), c.handed);
    for (size_t i = 1; i < sequences.size(); ++i) EXPECT_EQ(sequences[i], sequences[i - 1] + 1);
    EXPECT_EQ(session->Summarize().frames, c.handed);
    EXPECT_EQ(session->Summarize().errors, 0u);
    if (c.fps == 0) {
      EXPECT_EQ(cancelled, 0u);
    } else {
      EXPECT_GE(cancelled, 1u);
    }
    if (c.fps != 0) continue;
    session->Start();  // every buffer is back in play
    std::vector<TakenFrame> held(3);
    for (TakenFrame& taken : held) ASSERT_EQ(session->Take(10000, &taken), WaitEnd::kFrame);
    session->Stop();
  }
}

// Catches frame buffers made on another thread while the session grows
// (the factory used from two threads: TSan), an adopted buffer that is never
// captured into, or one the session does not free (the live handles).
TEST(CaptureSessionTest, AdoptedBuffersAreCapturedAndFreed) {
  PrismSimSetFrameRate(0);
  std::shared_ptr<CaptureSession> session = Create(1);
  ASSERT_NE(session, nullptr);
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> made;
  std::thread maker([&] {
    for (int i = 0; i < 2; ++i) made.push_back(session->MakeFrame());
  });
  std::string error;
  EXPECT_TRUE(session->Grow(2, &error)) << error;
  maker.join();
  for (std::unique_ptr<vireo::CaptureFrameBuffer>& frame : made) {
    ASSERT_NE(frame, nullptr);
    session->Adopt(std::move(frame));
  }
  EXPECT_EQ(session->buffer_count(), 4u);
  session->Start();
  std::vector<TakenFrame> held(4);  // only four buffers in play can fill all four
  for (TakenFrame& taken : held) {
    ASSERT_EQ(session->Take(10000, &taken), WaitEnd::kFrame);
    ASSERT_NE(taken.lease, nullptr);
  }
  session->Stop();
  held.clear();
  session.reset();
  EXPECT_EQ(PrismSimLiveHandleCount(), 0u);
}

// Catches a refusal that says nothing of its cause ("see the log"): the
// library's reason names the field.
TEST(CaptureSessionTest, RefusalCarriesTheLibrarysReason) {
  vireo::CaptureConfig config = Config();
  config.virtual_channel = 7;
  vireo::CaptureError error = vireo::CaptureError::SUCCESS;
  std::string reason;
  EXPECT_EQ(CaptureSession::Create(config, 2, &error, &reason), nullptr);
  EXPECT_EQ(error, vireo::CaptureError::INVALID_CONFIG);
  EXPECT_NE(reason.find("virtual_channel"), std::string::npos) << reason;
}

}  // namespace
}  // namespace talon_support
