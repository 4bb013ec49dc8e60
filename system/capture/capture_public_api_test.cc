// A client of the capture API that includes only the public headers and links
// only libtalon.so (and the runtime): catches an API that is not exported or
// that needs internal headers.

#include <gtest/gtest.h>

#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"

namespace {

using vireo::CaptureConfig;
using vireo::CaptureError;
using vireo::CaptureStreamConfig;

TEST(CapturePublicApi, UtilitiesAreReachable) {
  CaptureStreamConfig s{vireo::CSI2_RAW10, 100, 3, 10, true};
  EXPECT_EQ(vireo::vireo_util::GetRowStrideBytes(s), 128u);
  EXPECT_EQ(vireo::vireo_util::GetSizeBytes(s), 384u);
  CaptureConfig config;
  EXPECT_EQ(vireo::vireo_util::CheckCaptureConfig(config), CaptureError::INVALID_CONFIG);
  EXPECT_EQ(vireo::vireo_util::GetCaptureError(9), CaptureError::CAPTURE_CANCELLED);
  EXPECT_STREQ(vireo::GetCaptureErrorDesc(CaptureError::DATA_TYPE_NOT_FOUND),
               "Data type nout found");
  EXPECT_EQ(vireo::vireo_util::ParentPath("a//b"), "a/");
  EXPECT_TRUE(vireo::vireo_util::RecursivelyCreateDir(""));
  EXPECT_FALSE(vireo::vireo_util::FileExists("/nonexistent/talon/path"));
}

// Writes a full frame into each of three streams and reads it back.
TEST(CapturePublicApi, ThreeStreamFrameBuffers) {
  CaptureConfig config;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, false},
                           {vireo::CSI2_RAW8, 32, 2, 8, true},
                           {vireo::CSI2_RAW16, 16, 3, 16, false}};
  auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  ASSERT_NE(factory, nullptr);
  auto fb = factory->Create();
  ASSERT_NE(fb, nullptr);
  for (const CaptureStreamConfig& s : config.stream_configs) {
    const uint64_t stride = fb->GetRowStrideBytes(s.data_type);
    void* data = nullptr;
    ASSERT_EQ(fb->LockFrameData(s.data_type, &data), CaptureError::SUCCESS);
    auto* bytes = static_cast<uint8_t*>(data);
    for (uint64_t i = 0; i < stride * s.height; ++i) bytes[i] = static_cast<uint8_t>(i ^ s.data_type);
    ASSERT_EQ(fb->UnlockFrameData(s.data_type), CaptureError::SUCCESS);
    ASSERT_EQ(fb->LockFrameData(s.data_type, &data), CaptureError::SUCCESS);
    bytes = static_cast<uint8_t*>(data);
    for (uint64_t i = 0; i < stride * s.height; ++i) {
      ASSERT_EQ(bytes[i], static_cast<uint8_t>(i ^ s.data_type));
    }
    ASSERT_EQ(fb->UnlockFrameData(s.data_type), CaptureError::SUCCESS);
  }
  void* data = nullptr;
  EXPECT_EQ(fb->LockFrameData(vireo::CSI2_YUV422_8BIT, &data), CaptureError::DATA_TYPE_NOT_FOUND);
}

}  // namespace
