// The test pipeline builder (ipu_pipeline.h) for GoogleTest suites: every
// runtime call of the builder, of the buffer readers or of the release that
// fails is a failure of the running test.
//
//   talon_testing::TestPipeline p;
//   ASSERT_EQ(p.Build({talon_testing::TestStream{}}), OZY_SUCCESS);
//   ASSERT_EQ(p.FinalizeAndEnqueue(0), OZY_SUCCESS);
//
// Threading and ownership as IpuPipeline.

#ifndef TESTING_TEST_PIPELINE_H_
#define TESTING_TEST_PIPELINE_H_

#include <gtest/gtest.h>

#include <string>

#include "testing/ipu_pipeline.h"

namespace talon_testing {

class TestPipeline final : public IpuPipeline {
 public:
  TestPipeline() : IpuPipeline(&Fail) {}

 private:
  static void Fail(const std::string& what) { ADD_FAILURE() << what; }
};

}  // namespace talon_testing

#endif  // TESTING_TEST_PIPELINE_H_
