// CaptureSession and FrameLease on the simulated IPU, without GStreamer, so
// that their threading also runs under ThreadSanitizer.

#include "gst/capture_session.h"

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

namespace talon_gst {
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
  bool timed_out = false;
  return session->Next(10000, &timed_out);
}

// Catches a lease that frees or re-enqueues its frame buffer while another
// thread still reads it, or a session destroyed under a lease that outlives
// the element's hold (ASan: use after free; TSan: unordered release).
TEST(CaptureSessionTest, LeasesOutliveTheOwnerAcrossThreads) {
  PrismSimSetFrameRate(0);
  std::string error;
  std::shared_ptr<CaptureSession> session = CaptureSession::Create(Config(), 4, &error);
  ASSERT_NE(session, nullptr) << error;
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

// Catches a Wake or a Stop that leaves the streaming thread blocked in Next
// while downstream holds every frame buffer, and a restart that loses
// buffers. The release comes only once the
// thread sleeps inside Next (nothing else there blocks), and a Next that
// stays blocked fails within a bound.
TEST(CaptureSessionTest, WakeAndStopReleaseABlockedNext) {
  PrismSimSetFrameRate(0);
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "Stop" : "Wake");
    std::string error;
    std::shared_ptr<CaptureSession> session = CaptureSession::Create(Config(), 2, &error);
    ASSERT_NE(session, nullptr) << error;
    session->Start();
    std::vector<std::shared_ptr<FrameLease>> held;
    for (int i = 0; i < 2; ++i) {
      vireo::CaptureError lock_error;
      held.push_back(FrameLease::Lock(session, Next(session.get()), &lock_error));
    }
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    vireo::CaptureFrameBuffer* got = reinterpret_cast<vireo::CaptureFrameBuffer*>(1);
    bool timed_out = true;
    std::thread streaming([&] {
      tid = static_cast<pid_t>(syscall(SYS_gettid));
      got = session->Next(3600000, &timed_out);  // nothing left: waits
      returned = true;
    });
    ASSERT_TRUE(talon_testing::WaitUntil(
        [&] { return tid != 0 && session->waiting() == 1 && Sleeping(tid); }));
    if (stop) {
      session->Stop();
    } else {
      session->Wake();
    }
    const bool released = talon_testing::WaitUntil([&] { return returned.load(); });
    if (!released) {  // fail rather than hang: frames to capture wake it
      held.clear();
      session->Start();
    }
    streaming.join();
    ASSERT_TRUE(released) << "Next stayed blocked";
    EXPECT_EQ(got, nullptr);
    EXPECT_FALSE(timed_out);
    held.clear();  // both back in the service
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

}  // namespace
}  // namespace talon_gst
