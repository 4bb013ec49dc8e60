#define PBASE_LOG_TAG "tagged"
#include "pbase/logging.h"

#include <string>

#include "gtest/gtest.h"
#include "testing/log_capture.h"

namespace {

// Catches a line split across pieces, a wrong severity letter or tag, or a
// capture that misses lines.
TEST(PbaseLogging, WritesOneLinePerStatement) {
  talon_testing::ScopedPlatformLogCapture log;
  ::testing::internal::CaptureStderr();
  LOG(INFO) << "value " << 42;
  LOG(ERROR) << "broken"
             << ":" << -3;
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "I tagged: value 42\nE tagged: broken:-3\n");
  EXPECT_EQ(log.Messages(pbase::INFO), std::vector<std::string>{"value 42"});
  EXPECT_EQ(log.Messages(pbase::ERROR), std::vector<std::string>{"broken:-3"});
}

// Catches a nested capture that swallows the outer one's lines or is not
// removed when it ends.
TEST(PbaseLogging, CapturesNest) {
  talon_testing::ScopedPlatformLogCapture outer;
  {
    talon_testing::ScopedPlatformLogCapture inner;
    LOG(INFO) << "both";
    EXPECT_EQ(inner.Entries().size(), 1u);
  }
  LOG(INFO) << "outer only";
  EXPECT_EQ(outer.Messages(pbase::INFO), (std::vector<std::string>{"both", "outer only"}));
}

}  // namespace
