#include "system/capture/capture_frame_buffer_factory_impl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_util.h"
#include "testing/log_capture.h"
#include "testing/prism_trace.h"

namespace vireo {
namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedLogCapture;
using talon_testing::ScopedPrismTrace;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

CaptureStreamConfig Stream(MipiDataTypeCsi2 dt, uint32_t w, uint32_t h, uint32_t bits,
                           bool pad = false) {
  return CaptureStreamConfig{dt, w, h, bits, pad};
}

CaptureConfig ThreeStreams() {
  CaptureConfig config;
  config.stream_configs = {Stream(CSI2_RAW10, 100, 3, 10), Stream(CSI2_RAW8, 64, 2, 8),
                           Stream(CSI2_EMBEDDED_8BIT, 30, 1, 16, true)};
  return config;
}

// Catches buffers of the wrong size or order, or a lost data type.
TEST(CaptureFrameBufferFactory, ThreeStreamsThreeBuffersInOrder) {
  auto factory = CaptureFrameBufferFactory::CreateInstance(ThreeStreams());
  ASSERT_NE(factory, nullptr);
  ScopedPrismTrace trace;
  auto fb = factory->Create();
  ASSERT_NE(fb, nullptr);
  auto calls = trace.Calls("OzyCreateDeviceBufferManaged");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_THAT(calls[0], HasSubstr(", 375, 64, 0, 0, ->"));
  EXPECT_THAT(calls[1], HasSubstr(", 128, 64, 0, 0, ->"));
  EXPECT_THAT(calls[2], HasSubstr(", 64, 64, 0, 0, ->"));
  EXPECT_THAT(fb->GetDataTypeList(),
              UnorderedElementsAre(CSI2_RAW10, CSI2_RAW8, CSI2_EMBEDDED_8BIT));
  EXPECT_EQ(fb->GetStatus(), CaptureStatus::IDLE);
  EXPECT_EQ(fb->GetError(), CaptureError::SUCCESS);
  EXPECT_EQ(fb->GetTimestampStartNs(), 0);
  EXPECT_EQ(fb->GetTimestampEndNs(), 0);
}

// Catches a factory that checks the configuration too early or not at all.
TEST(CaptureFrameBufferFactory, InvalidConfigurationRefusedAtCreate) {
  for (size_t streams : {0u, 4u}) {
    CaptureConfig config;
    for (size_t i = 0; i < streams; ++i) {
      config.stream_configs.push_back(Stream(static_cast<MipiDataTypeCsi2>(0x2A + i), 8, 8, 8));
    }
    auto factory = CaptureFrameBufferFactory::CreateInstance(config);
    ASSERT_NE(factory, nullptr);
    ScopedLogCapture log;
    EXPECT_EQ(factory->Create(), nullptr);
    EXPECT_THAT(log.Messages(), ElementsAre("Invalid configuration"));
  }
}

// Catches an orphaned device buffer when two streams share a data type,
// and an empty device buffer for a row whose bits wrap 32 bits (stride 0).
TEST(CaptureFrameBufferFactory, RepeatedDataTypeOrWrappingRowRefused) {
  const struct {
    std::vector<CaptureStreamConfig> streams;
    std::vector<std::string> log;
  } cases[] = {
      {{Stream(CSI2_RAW10, 8, 8, 10), Stream(CSI2_RAW10, 16, 8, 10)}, {"Invalid configuration"}},
      {{Stream(CSI2_RAW10, 858993459, 8, 10)},
       {"Invalid configuration: width 858993459 at 10 bits per component does not fit a "
        "32-bit row (data type 43)",
        "Invalid configuration"}},
  };
  for (const auto& c : cases) {
    CaptureConfig config;
    config.stream_configs = c.streams;
    auto factory = CaptureFrameBufferFactory::CreateInstance(config);
    ASSERT_NE(factory, nullptr);
    size_t live = PrismSimLiveHandleCount();
    ScopedLogCapture log;
    ScopedPrismTrace trace;
    EXPECT_EQ(factory->Create(), nullptr);
    EXPECT_EQ(log.Messages(), c.log);
    EXPECT_TRUE(trace.Calls("OzyCreateDeviceBufferManaged").empty());
    EXPECT_EQ(PrismSimLiveHandleCount(), live);
  }
}

// Catches leaked or over-requested buffers when one allocation fails.
TEST(CaptureFrameBufferFactory, SecondAllocationFailsCleansUp) {
  auto factory = CaptureFrameBufferFactory::CreateInstance(ThreeStreams());
  ASSERT_NE(factory, nullptr);
  size_t live = PrismSimLiveHandleCount();
  ScopedLogCapture log;
  ScopedPrismTrace trace;
  {
    ScopedFailpoints fail("OzyCreateDeviceBufferManaged:4:2");
    EXPECT_EQ(factory->Create(), nullptr);
  }
  EXPECT_THAT(log.Messages(), ElementsAre("Could not create frame buffer, error code 4"));
  EXPECT_EQ(trace.Calls("OzyCreateDeviceBufferManaged").size(), 2u);
  EXPECT_THAT(trace.Functions(),
              ElementsAre("OzyCreateDeviceBufferManaged", "OzyCreateDeviceBufferManaged",
                          "OzyDeleteDeviceBuffer"));
  EXPECT_EQ(PrismSimLiveHandleCount(), live);
  // The factory is unchanged and can be used again.
  EXPECT_NE(factory->Create(), nullptr);
}

// Catches a factory handed out without an allocator.
TEST(CaptureFrameBufferFactory, AllocatorFailure) {
  ScopedFailpoints fail("OzyGetMemoryAllocator:3");
  ScopedLogCapture log;
  EXPECT_EQ(CaptureFrameBufferFactory::CreateInstance(ThreeStreams()), nullptr);
  EXPECT_THAT(log.Messages(), ElementsAre("Could not get ion memory allocator"));

  CaptureFrameBufferFactoryImpl impl(ThreeStreams());
  EXPECT_EQ(impl.Initialize(), CaptureError::NO_DEV);
  log.Clear();
  EXPECT_EQ(impl.Create(), nullptr);
  EXPECT_THAT(log.Messages(), ElementsAre("Allocator not initialized"));
}

// Catches frame buffers that depend on their factory's lifetime.
TEST(CaptureFrameBufferFactory, BuffersOutliveTheFactory) {
  size_t live = PrismSimLiveHandleCount();
  std::unique_ptr<CaptureFrameBuffer> fb;
  {
    auto factory = CaptureFrameBufferFactory::CreateInstance(ThreeStreams());
    fb = factory->Create();
  }
  void* data = nullptr;
  ASSERT_EQ(fb->LockFrameData(CSI2_RAW10, &data), CaptureError::SUCCESS);
  static_cast<uint8_t*>(data)[374] = 1;
  EXPECT_EQ(fb->UnlockFrameData(CSI2_RAW10), CaptureError::SUCCESS);
  fb.reset();
  EXPECT_EQ(PrismSimLiveHandleCount(), live);
}

}  // namespace
}  // namespace vireo
