#include "tools/talon-cam/frame_metadata.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace talon_cam {
namespace {

// Catches file names that break the line (quotes, newlines) or the JSON
// library's exception on bytes that are not UTF-8, which would end the tool.
TEST(FrameMetadata, EscapesFileNames) {
  FrameMetadata frame;
  frame.frame = 3;
  frame.sequence = 4;
  frame.sof_ns = 1000;
  frame.eof_ns = 2000;
  frame.streams.push_back({43, 80, 640, "a\"b\nc\xff.raw", ""});
  const std::string line = FrameJson(frame, nullptr);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  for (char c : line) EXPECT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << line;
  const nlohmann::json json = nlohmann::json::parse(line);
  EXPECT_EQ(json["streams"][0]["file"], "a\"b\nc\xef\xbf\xbd.raw");
  EXPECT_TRUE(json["streams"][0]["dng"].is_null());
  EXPECT_EQ(json["sof_ns"], 1000);
  EXPECT_FALSE(json.contains("config"));
}

// Catches a failed frame reported with timestamps, or without its error's
// number and name, and an unknown sequence printed as -1.
TEST(FrameMetadata, FailedFrameAndConfiguration) {
  FrameMetadata frame;
  frame.error = vireo::CaptureError::TIMEOUT;
  frame.sof_ns = 5;
  vireo::CaptureConfig config;
  config.virtual_channel = 2;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, true}};
  const nlohmann::json json = nlohmann::json::parse(FrameJson(frame, &config));
  EXPECT_TRUE(json["sof_ns"].is_null());
  EXPECT_TRUE(json["sequence"].is_null());
  EXPECT_EQ(json["error"], (nlohmann::json{{"number", 5}, {"name", "TIMEOUT"}}));
  EXPECT_EQ(json["config"]["virtual_channel"], 2);
  EXPECT_EQ(json["config"]["stream_configs"][0]["pad_row_to_64_bytes"], true);
}

}  // namespace
}  // namespace talon_cam
