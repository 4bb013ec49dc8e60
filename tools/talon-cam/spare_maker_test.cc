#include "tools/talon-cam/spare_maker.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "system/capture/capture_types.h"

namespace talon_cam {
namespace {

// Catches a maker that makes buffers before the outputs fall behind, makes
// more than its budget, hands one out twice, or leaves WaitTake waiting once
// the budget is spent.
TEST(SpareMaker, MakesItsBudgetAndNoMore) {
  vireo::CaptureConfig config;
  config.stream_configs.push_back({vireo::CSI2_RAW10, 64, 4, 10, false});
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory =
      vireo::CaptureFrameBufferFactory::CreateInstance(config);
  ASSERT_NE(factory, nullptr);
  SpareMaker maker;
  maker.Start([&] { return factory->Create(); }, 3, 2);
  EXPECT_EQ(maker.Take(), nullptr);  // not demanded yet, so none is made
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> kept;
  std::set<vireo::CaptureFrameBuffer*> taken;
  for (int i = 0; i < 3; ++i) {
    kept.push_back(maker.WaitTake());
    ASSERT_NE(kept.back(), nullptr) << i;
    taken.insert(kept.back().get());
  }
  EXPECT_EQ(taken.size(), 3u);
  EXPECT_EQ(maker.WaitTake(), nullptr);
  EXPECT_EQ(maker.Take(), nullptr);
  EXPECT_FALSE(maker.failed());
  maker.Stop();
}

}  // namespace
}  // namespace talon_cam
