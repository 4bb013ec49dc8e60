#include "base/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/syslog/system_log_sim.h"
#include "testing/log_capture.h"

namespace vireo {
namespace base {
namespace {

using talon_testing::ScopedLogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Catches a wrong entry shape: the system log must get "<base name>:<line>
// <message>\n" under the tag "native", with no directory in the file name.
TEST(Logging, EntryShapeAndTagInSystemLog) {
  ScopedLogCapture log;
  int line = __LINE__ + 1;
  LOG(INFO) << "IPU "
            << "initialized " << 42;
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].tag, "native");
  EXPECT_EQ(entries[0].text, "logging_test.cc:" + std::to_string(line) + " IPU initialized 42\n");
}

// Catches a wrong priority mapping of severities and verbose levels.
TEST(Logging, SeverityPriorities) {
  EXPECT_EQ(SystemLogPriority(FATAL), 7);
  EXPECT_EQ(SystemLogPriority(ERROR), 6);
  EXPECT_EQ(SystemLogPriority(WARNING), 5);
  EXPECT_EQ(SystemLogPriority(INFO), 4);
  EXPECT_EQ(SystemLogPriority(-1), 3);
  EXPECT_EQ(SystemLogPriority(-2), 2);
  EXPECT_EQ(SystemLogPriority(-5), 2);

  ScopedLogCapture log;
  LOG(WARNING) << "w";
  LOG(ERROR) << "e";
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].priority, SYSTEM_LOG_WARN);
  EXPECT_EQ(entries[1].priority, SYSTEM_LOG_ERROR);
}

// Catches verbose statements that log while their level is off, or that
// evaluate their arguments when off.
TEST(Logging, VerboseLevels) {
  ScopedLogCapture log;
  int evaluated = 0;
  auto touch = [&evaluated] { return ++evaluated; };
  VLOG(1) << "hidden " << touch();
  EXPECT_EQ(evaluated, 0);
  SetVerboseLevel(2);
  VLOG(1) << "one";
  VLOG(2) << "two";
  VLOG(3) << "three";
  SetVerboseLevel(0);
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].priority, SYSTEM_LOG_DEBUG);
  EXPECT_EQ(entries[1].priority, SYSTEM_LOG_VERBOSE);
}

// Catches a missing "native : " prefix on the standard-error copy.
TEST(Logging, StandardErrorCopy) {
  ::testing::internal::CaptureStderr();
  int line = __LINE__ + 1;
  LOG(ERROR) << "Could not create job.";
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "native : logging_test.cc:" + std::to_string(line) + " Could not create job.\n");
}

// Catches a wrong check text: the condition, a blank, then the message.
TEST(LoggingDeathTest, CheckFailureText) {
  int* frame_buffer = nullptr;
  EXPECT_DEATH(CHECK(frame_buffer != nullptr),
               "native : logging_test.cc:[0-9]+ Check failed: frame_buffer != nullptr \n");
  EXPECT_DEATH(CHECK(frame_buffer != nullptr) << "Got unexpected state: " << 2,
               "Check failed: frame_buffer != nullptr Got unexpected state: 2");
}

// Sends every system-log entry to standard error, so that a death test can
// see the "terminating." entry that goes to the system log only.
void MirrorToStderr(void*, int priority, const char* tag, const char* text) {
  fprintf(stderr, "syslog[%d] %s: %s", priority, tag, text);
}

// Catches comparing checks that lose the values, print a null pointer as 0,
// or do not end with the fatal "terminating." entry.
TEST(LoggingDeathTest, ComparingChecksShowBothValues) {
  auto fail_eq = [] {
    SystemLogSetSink(&MirrorToStderr, nullptr, nullptr, nullptr);
    int error = 5;
    CHECK_EQ(0, error) << "Could not load device config.";
  };
  EXPECT_DEATH(fail_eq(),
               "Check failed: 0 == error \\(0 vs. 5\\) Could not load device config.\n"
               "(.|\n)*syslog\\[7\\] native: terminating.\n");

  auto fail_ptr = [] {
    int x = 0;
    int* head = nullptr;
    int* frame_buffer = &x;
    CHECK_EQ(frame_buffer, head);
  };
  EXPECT_DEATH(fail_ptr(), "Check failed: frame_buffer == head \\(0x[0-9a-f]+ vs. nullptr\\) ");

  auto fail_size = [] {
    size_t mipi_node_size = 2;
    std::vector<int> nodes(3);
    CHECK_EQ(mipi_node_size * 2, nodes.size());
  };
  EXPECT_DEATH(fail_size(),
               "Check failed: mipi_node_size \\* 2 == nodes.size\\(\\) \\(4 vs. 3\\) ");
}

// Catches passing checks that log or abort.
TEST(Logging, PassingChecksAreSilent) {
  ScopedLogCapture log;
  int a = 1;
  CHECK(a == 1) << "never";
  CHECK_EQ(a, 1);
  CHECK_NE(a, 2);
  CHECK_LT(a, 2);
  CHECK_LE(a, 1);
  CHECK_GT(a, 0);
  CHECK_GE(a, 1);
  EXPECT_TRUE(log.Entries().empty());
}

TEST(Logging, BaseNameStripsDirectories) {
  EXPECT_STREQ(BaseName("system/capture/capture_job_thread.cc"), "capture_job_thread.cc");
  EXPECT_STREQ(BaseName("plain.cc"), "plain.cc");
  EXPECT_EQ(FormatLogEntry("/a/b/c.cc", 7, "m"), "c.cc:7 m\n");
}

}  // namespace
}  // namespace base
}  // namespace vireo

namespace vireo {
namespace base {
namespace {

// Catches a FATAL entry whose "terminating." system-log entry is missing
// when the host's copy of the system log is read (SYSTEM_LOG_FILE).
TEST(LoggingDeathTest, TerminatingEntryInTheHostCopy) {
  auto fail = [] {
    setenv("SYSTEM_LOG_FILE", "stderr", 1);
    int frames = 2;
    CHECK_EQ(frames, 3);
  };
  EXPECT_DEATH(fail(),
               "7 native: logging_test.cc:[0-9]+ Check failed: frames == 3 \\(2 vs. 3\\) \n"
               "(.|\n)*7 native: terminating.\n");
}

}  // namespace
}  // namespace base
}  // namespace vireo
