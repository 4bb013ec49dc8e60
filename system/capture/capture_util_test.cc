#include "system/capture/capture_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace vireo {
namespace vireo_util {
namespace {

CaptureStreamConfig Stream(uint32_t width, uint32_t bits, bool pad, uint32_t height = 1) {
  CaptureStreamConfig s;
  s.data_type = CSI2_RAW10;
  s.width = width;
  s.height = height;
  s.bits_per_component = bits;
  s.pad_row_to_64_bytes = pad;
  return s;
}

// Catches stride rounding errors (bits to bytes, then to 64 bytes).
TEST(GetRowStrideBytes, RoundsBitsThenPads) {
  EXPECT_EQ(GetRowStrideBytes(Stream(100, 10, false)), 125u);
  EXPECT_EQ(GetRowStrideBytes(Stream(100, 10, true)), 128u);
  EXPECT_EQ(GetRowStrideBytes(Stream(100, 16, false)), 200u);
  EXPECT_EQ(GetRowStrideBytes(Stream(100, 16, true)), 256u);
  EXPECT_EQ(GetRowStrideBytes(Stream(64, 8, false)), 64u);
  EXPECT_EQ(GetRowStrideBytes(Stream(64, 8, true)), 64u);
  EXPECT_EQ(GetRowStrideBytes(Stream(1, 10, false)), 2u);
  EXPECT_EQ(GetRowStrideBytes(Stream(1, 10, true)), 64u);
  EXPECT_EQ(GetRowStrideBytes(Stream(0, 10, false)), 0u);
  EXPECT_EQ(GetRowStrideBytes(Stream(0, 10, true)), 0u);
}

// Catches 64-bit arithmetic where the row's bits must wrap in 32 bits.
TEST(GetRowStrideBytes, WrapsIn32Bits) {
  // 0x20000000 * 8 + 7 wraps to 7; 7 >> 3 = 0.
  EXPECT_EQ(GetRowStrideBytes(Stream(0x20000000u, 8, false)), 0u);
}

TEST(GetSizeBytes, StrideTimesHeight) {
  EXPECT_EQ(GetSizeBytes(Stream(100, 10, false, 3)), 375u);
  EXPECT_EQ(GetSizeBytes(Stream(100, 10, true, 3)), 384u);
  EXPECT_EQ(GetSizeBytes(Stream(0, 10, true, 3)), 0u);
  // A product beyond 32 bits is kept.
  EXPECT_EQ(GetSizeBytes(Stream(0x10000, 16, false, 0x10000)), uint64_t{0x200000000});
}

// Catches checks in the wrong order or checks of things left to others.
TEST(CheckCaptureConfig, VirtualChannelAndStreamCount) {
  CaptureConfig config;
  config.virtual_channel = 3;
  config.stream_configs = {Stream(10, 10, false)};
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::SUCCESS);
  config.virtual_channel = 4;
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::INVALID_CONFIG);
  config.virtual_channel = 0;
  config.stream_configs.clear();
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::INVALID_CONFIG);
  config.stream_configs.assign(3, Stream(10, 10, false));
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::SUCCESS);  // repeated types pass
  config.stream_configs.assign(4, Stream(10, 10, false));
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::INVALID_CONFIG);
  config.stream_configs = {Stream(0, 12, false)};
  config.mipi_rx = -7;
  EXPECT_EQ(CheckCaptureConfig(config), CaptureError::SUCCESS);
}

TEST(GetCaptureError, TranslatesRuntimeErrors) {
  for (int e = 0; e <= 8; ++e) EXPECT_EQ(static_cast<int>(GetCaptureError(e)), e);
  EXPECT_EQ(GetCaptureError(9), CaptureError::CAPTURE_CANCELLED);
  EXPECT_EQ(GetCaptureError(10), CaptureError::UNKNOWN);
  EXPECT_EQ(GetCaptureError(-1), CaptureError::UNKNOWN);
  EXPECT_EQ(GetCaptureError(5), CaptureError::TIMEOUT);
}

// Catches a changed description text (clients and logs rely on them, typo
// included).
TEST(GetCaptureErrorDesc, FixedTexts) {
  EXPECT_STREQ(GetCaptureErrorDesc(CaptureError::SUCCESS), "success");
  EXPECT_STREQ(GetCaptureErrorDesc(CaptureError::BACKGROUND_THREAD_ERROR),
               "capture background thread error");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(13)), "File system error");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(14)), "Data type nout found");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(16)), "capture cancelled");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(17)), "unknown");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(200)), "unknown");
  EXPECT_STREQ(GetCaptureErrorDesc(static_cast<CaptureError>(-1)), "unknown");
}

TEST(ParentPath, EverythingBeforeTheLastSlash) {
  EXPECT_EQ(ParentPath("a/b/c"), "a/b");
  EXPECT_EQ(ParentPath("a/b/"), "a/b");
  EXPECT_EQ(ParentPath("a//b"), "a/");
  EXPECT_EQ(ParentPath("/data"), "");
  EXPECT_EQ(ParentPath("/"), "");
  EXPECT_EQ(ParentPath("abc"), ".");
  EXPECT_EQ(ParentPath(""), ".");
}

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(old_cwd_), 0); }
  static bool IsDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  talon_testing::TempDir dir_;
  char old_cwd_[4096];
};

// Catches recursion that stops early or creates in the wrong order.
TEST_F(FileSystemTest, RecursivelyCreateRelativePath) {
  EXPECT_TRUE(RecursivelyCreateDir("x/y/z"));
  EXPECT_TRUE(IsDir("x"));
  EXPECT_TRUE(IsDir("x/y"));
  EXPECT_TRUE(IsDir("x/y/z"));
  EXPECT_TRUE(RecursivelyCreateDir(""));
  EXPECT_TRUE(RecursivelyCreateDir("."));
}

TEST_F(FileSystemTest, RecursivelyCreateAbsolutePath) {
  std::string path = dir_.path() + "/p/q";
  EXPECT_TRUE(RecursivelyCreateDir(path));
  EXPECT_TRUE(IsDir(path));
}

// Catches a helper that replaces or fails on an existing regular file.
TEST_F(FileSystemTest, ExistingFileCountsAsPresent) {
  std::ofstream("plain") << "x";
  EXPECT_TRUE(FileExists("plain"));
  EXPECT_TRUE(RecursivelyCreateDir("plain"));
  EXPECT_FALSE(IsDir("plain"));
  EXPECT_TRUE(CreateDir("plain"));                  // EEXIST, whatever stands there
  EXPECT_FALSE(RecursivelyCreateDir("plain/sub"));  // parent is a file
}

TEST_F(FileSystemTest, CreateDirNeedsItsParent) {
  EXPECT_TRUE(CreateDir("d"));
  EXPECT_TRUE(CreateDir("d"));
  EXPECT_FALSE(CreateDir("missing/child"));
  EXPECT_FALSE(FileExists("missing"));
}

}  // namespace
}  // namespace vireo_util
}  // namespace vireo
