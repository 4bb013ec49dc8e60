// A client of the capture API that includes only the public headers and links
// only libtalon.so (and the runtime): catches an API that is not exported or
// that needs internal headers.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_setup.h"
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
    for (uint64_t i = 0; i < stride * s.height; ++i)
      bytes[i] = static_cast<uint8_t>(i ^ s.data_type);
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

// Catches a refusal that reaches the client only as a null pointer (the
// reason left in the log) and an error that is not the failed step's.
TEST(CapturePublicApi, CreationSaysWhyItWasRefused) {
  struct Case {
    uint32_t virtual_channel;
    std::vector<CaptureStreamConfig> streams;
    CaptureError error;
    const char* reason;
  } cases[] = {
      {7,
       {{vireo::CSI2_RAW10, 64, 4, 10, false}},
       CaptureError::INVALID_CONFIG,
       "virtual_channel: 7 is not in 0 to 3"},
      {0, {}, CaptureError::INVALID_CONFIG, "stream_configs: 0 streams; 1 to 3 allowed"},
      {0,
       {{vireo::CSI2_RAW10, 64, 4, 12, false}},
       CaptureError::INVALID_CONFIG,
       "bits_per_component could only be 8, 10 or 16."},
  };
  for (const Case& c : cases) {
    CaptureConfig config;
    config.virtual_channel = c.virtual_channel;
    config.stream_configs = c.streams;
    std::unique_ptr<vireo::CaptureService> service;
    std::string reason;
    EXPECT_EQ(vireo::CreateCaptureService(config, &service, &reason), c.error) << c.reason;
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(reason, c.reason);
  }
  CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, false}};
  std::unique_ptr<vireo::CaptureService> service;
  std::string reason = "stale";
  EXPECT_EQ(vireo::CreateCaptureService(config, &service, &reason), CaptureError::SUCCESS);
  EXPECT_NE(service, nullptr);
}

// Catches a directory choice that races with services being created (the
// environment was set while another thread read it); TSan reports it.
TEST(CapturePublicApi, GraphDirectorySetWhileServicesAreCreated) {
  const std::string dir = ::testing::TempDir() + "talon-graphs";
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; !done.load(); ++i) vireo::SetCompiledGraphDir(i % 2 ? dir : dir + "-b");
  });
  CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, false}};
  for (int i = 0; i < 5; ++i) {
    std::unique_ptr<vireo::CaptureService> service;
    EXPECT_EQ(vireo::CreateCaptureService(config, &service, nullptr), CaptureError::SUCCESS);
  }
  done.store(true);
  setter.join();
  vireo::SetCompiledGraphDir(dir);
  EXPECT_EQ(vireo::GetCompiledGraphDir(), dir);
  vireo::SetCompiledGraphDir("");
}

}  // namespace
