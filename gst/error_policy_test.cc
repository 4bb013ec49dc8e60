// talonsrc's error policy over a stretch of failed and good frames.

#include "gst/error_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace talon_gst {
namespace {

// Catches a stretch that a good frame does not end (the stream ends for
// errors that were never in a row), a stream that max-errors failures in a
// row do not end, warnings on every frame instead of once a second, and a
// capture error named other than support/capture_error_name spells it.
TEST(ErrorPolicyTest, StretchOfErrors) {
  struct Step {
    bool failed;
    int64_t at_ms;
    const char* warning;  // "": none
    const char* error;    // "": the stream goes on
  };
  const Step steps[] = {
      {true, 0, "frame dropped: capture error TIMEOUT (5): ", ""},
      {true, 100, "", ""},
      {false, 200, "", ""},  // the stretch ends: two in a row were not three
      {true, 300, "", ""},
      {true, 400, "", ""},
      {true, 1000, "4 frames dropped since the last warning, the last: capture error TIMEOUT",
       "3 capture errors in a row, the last TIMEOUT (5): "},
  };
  ErrorPolicy policy(3);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at_ms);
    if (!step.failed) {
      policy.Succeeded();
      continue;
    }
    const ErrorPolicy::Verdict verdict =
        policy.Failed(vireo::CaptureError::TIMEOUT, step.at_ms * 1000000);
    EXPECT_EQ(verdict.warning.rfind(step.warning, 0), 0u) << verdict.warning;
    EXPECT_EQ(verdict.warning.empty(), *step.warning == '\0') << verdict.warning;
    EXPECT_EQ(verdict.error.rfind(step.error, 0), 0u) << verdict.error;
    EXPECT_EQ(verdict.error.empty(), *step.error == '\0') << verdict.error;
  }
}

}  // namespace
}  // namespace talon_gst
