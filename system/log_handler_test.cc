#include "system/log_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "testing/wait_until.h"

namespace vireo {
namespace {

struct Seen {
  std::vector<std::string> entries;  // "<severity> <file>:<line> <message>"
};

void Record(void* context, int severity, const char* file, int line, const char* message) {
  static_cast<Seen*>(context)->entries.push_back(std::to_string(severity) + " " + file + ":" +
                                                 std::to_string(line) + " " + message);
}

// Catches entries that miss the handler or reach it misshaped, a standard-
// error copy written against the caller's choice, and a default that lost
// the copy.
TEST(LogHandler, ReceivesEntriesAndChoosesTheStandardErrorCopy) {
  Seen seen;
  SetLogHandler(&Record, &seen, false);
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 1;
  LOG(WARNING) << "Capture framebuffer not enqueued fast, " << 7;
  base::SetVerboseLevel(1);
  VLOG(1) << "verbose";
  base::SetVerboseLevel(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(seen.entries.size(), 2u);
  EXPECT_EQ(seen.entries[0], "1 log_handler_test.cc:" + std::to_string(line) +
                                 " Capture framebuffer not enqueued fast, 7");
  EXPECT_EQ(seen.entries[1].substr(0, 3), "-1 ");

  SetLogHandler(&Record, &seen, true);
  testing::internal::CaptureStderr();
  LOG(ERROR) << "both";
  EXPECT_NE(testing::internal::GetCapturedStderr().find("native : log_handler_test.cc:"),
            std::string::npos);
  EXPECT_EQ(seen.entries.back().substr(0, 2), "2 ");

  SetLogHandler(nullptr, nullptr, true);
  testing::internal::CaptureStderr();
  LOG(INFO) << "default again";
  EXPECT_NE(testing::internal::GetCapturedStderr().find(" default again\n"), std::string::npos);
  EXPECT_EQ(seen.entries.size(), 3u);
}

// A handler that stays inside until released, saying when it is in.
struct Gate {
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> left{false};
};

void HoldUntilReleased(void* context, int, const char*, int, const char*) {
  auto* gate = static_cast<Gate*>(context);
  gate->inside = true;
  while (!gate->release) std::this_thread::yield();
  gate->left = true;
}

// Catches SetLogHandler returning while the handler it replaced still runs
// on another thread (the caller would then free a context in use).
TEST(LogHandler, ReplacingWaitsForTheReplacedHandler) {
  Gate gate;
  SetLogHandler(&HoldUntilReleased, &gate, false);
  std::thread logger([] { LOG(INFO) << "held"; });
  ASSERT_TRUE(talon_testing::WaitUntil([&] { return gate.inside.load(); }));
  bool left_before_return = false;
  std::thread setter([&] {
    SetLogHandler(nullptr, nullptr, true);
    left_before_return = gate.left;
  });
  const bool waited = talon_testing::WaitUntil(
      [] { return base::LogSinkSettersWaitingForTesting() == 1; }, std::chrono::milliseconds(5000));
  gate.release = true;
  setter.join();
  logger.join();
  EXPECT_TRUE(waited);
  EXPECT_TRUE(left_before_return);
}

void ReplaceFromInside(void* context, int, const char*, int, const char*) {
  LOG(INFO) << "logged from inside a handler";
  SetLogHandler(nullptr, nullptr, true);
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

// Catches a handler that deadlocks by replacing itself, or recurses by
// logging.
TEST(LogHandler, HandlerMayReplaceItselfAndLog) {
  std::atomic<int> calls{0};
  SetLogHandler(&ReplaceFromInside, &calls, false);
  std::thread logger([] { LOG(INFO) << "once"; });
  const bool done =
      talon_testing::WaitUntil([&] { return calls.load() == 1; }, std::chrono::milliseconds(5000));
  if (!done) {
    logger.detach();
    FAIL() << "the handler did not return";
  }
  logger.join();
  EXPECT_EQ(calls.load(), 1);
}

void ToStderr(void*, int severity, const char*, int, const char* message) {
  fprintf(stderr, "handler %d: %s\n", severity, message);
}

// Catches a fatal check that aborts before the application's handler saw
// it.
TEST(LogHandlerDeathTest, FatalEntryReachesTheHandler) {
  EXPECT_DEATH(
      {
        SetLogHandler(&ToStderr, nullptr, false);
        CHECK_EQ(1, 2) << "named";
      },
      "handler 3: Check failed: 1 == 2 \\(1 vs. 2\\) named");
}

}  // namespace
}  // namespace vireo
