#include "tools/talon-cam/talon_cam_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talon_cam {
namespace {

bool Parse(std::vector<const char*> args, Options* options, std::string* error) {
  args.insert(args.begin(), "talon-cam");
  return ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

// Catches a default that captures nothing (no stream) or a wrong default stream.
TEST(TalonCamOptions, DefaultsGiveOneRaw10Stream) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({}, &options, &error)) << error;
  ASSERT_EQ(options.config.stream_configs.size(), 1u);
  const auto& stream = options.config.stream_configs[0];
  EXPECT_EQ(stream.data_type, 0x2B);
  EXPECT_EQ(stream.width, 640u);
  EXPECT_EQ(stream.height, 480u);
  EXPECT_EQ(stream.bits_per_component, 10u);
  EXPECT_FALSE(stream.pad_row_to_64_bytes);
  EXPECT_EQ(options.config.timeout_ms, 1000u);
  EXPECT_EQ(options.buffers, 3u);
  EXPECT_EQ(options.frames, 60u);
}

// Catches hex data types read as decimal (or octal), a lost pad flag, and
// options given as --name=value being ignored.
TEST(TalonCamOptions, StreamsAndValues) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--stream", "0x2A,64,4,8,1", "--stream=46,32,2,16", "--mipi-rx", "2",
                     "--virtual-channel=3", "--timeout-ms", "50", "--buffers", "2", "--frames", "7",
                     "--output", "f-#.raw", "--png", "p.png", "--quiet"},
                    &options, &error))
      << error;
  ASSERT_EQ(options.config.stream_configs.size(), 2u);
  EXPECT_EQ(options.config.stream_configs[0].data_type, 0x2A);
  EXPECT_TRUE(options.config.stream_configs[0].pad_row_to_64_bytes);
  EXPECT_EQ(options.config.stream_configs[1].data_type, 46);
  EXPECT_EQ(options.config.stream_configs[1].bits_per_component, 16u);
  EXPECT_FALSE(options.config.stream_configs[1].pad_row_to_64_bytes);
  EXPECT_EQ(options.config.mipi_rx, 2);
  EXPECT_EQ(options.config.virtual_channel, 3u);
  EXPECT_EQ(options.config.timeout_ms, 50u);
  EXPECT_EQ(options.buffers, 2u);
  EXPECT_EQ(options.frames, 7u);
  EXPECT_EQ(options.output_pattern, "f-#.raw");
  EXPECT_EQ(options.png_path, "p.png");
  EXPECT_TRUE(options.quiet);
}

// Catches bad input accepted silently (garbage numbers, a fourth stream,
// negative values wrapping around, a missing value, a virtual channel the
// library refuses only later), --cfa that would do nothing, a '#' in a
// directory (the directory of later frames does not exist), a DNG name
// without '#' that every frame would overwrite, write memory that holds
// no frame for an output; and development options that do nothing, cannot
// develop the stream or would fail every frame, each blamed on its option.
TEST(TalonCamOptions, RefusesBadInput) {
  const std::vector<std::vector<const char*>> bad = {
      {"--stream", "43,640,480"},
      {"--stream", "43,640,480,10,2"},
      {"--stream", "0x,640,480,10"},
      {"--stream", "43,0,480,10"},
      {"--stream", "43,640x,480,10"},
      {"--stream", "43,640,480,10,1,1"},
      {"--buffers", "0"},
      {"--buffers", "-1"},
      {"--frames", "-1"},
      {"--timeout-ms", "99999999999"},
      {"--virtual-channel", "4"},
      {"--cfa", "GRBG"},
      {"--output", "d-#/f.raw"},
      {"--dng", "f.dng"},
      {"--dng", "f.dng", "--frames", "1", "--stream", "0x2B,64,4,10", "--stream", "0x2A,64,4,8"},
      {"--frames"},
      {"--bogus"},
      {"--write-memory", "0"},
      {"--write-memory", "1.5"},
      {"--output", "o-#.raw", "--dng", "d-#.dng", "--stream", "0x2B,1024,512,10", "--write-memory",
       "1"},
      {"--output", "o-#.raw", "--stream", "0x2B,4056,3040,10", "--write-memory", "15"},
      {"--stream", "1,4,4,8", "--stream", "2,4,4,8", "--stream", "3,4,4,8", "--stream", "4,4,4,8"},
  };
  for (const auto& args : bad) {
    Options options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error))
        << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(error.empty());
  }
  const struct {
    std::vector<const char*> args;
    const char* option;  // the one the line starts with
  } blamed[] = {
      {{"--jpeg", "j-#.jpg", "--cfa", "RGBG"}, "--cfa"},
      {{"--png", "p.png", "--black-level", "1023"}, "--black-level"},
      {{"--png", "p.png", "--stream", "0x2A,64,4,8", "--black-level", "255"}, "--black-level"},
      {{"--png", "p.png", "--black-level", "-1"}, "--black-level"},
      {{"--jpeg", "j-#.jpg", "--white-balance", "1,0,1"}, "--white-balance"},
      {{"--jpeg", "j-#.jpg", "--white-balance", "1,2"}, "--white-balance"},
      {{"--jpeg", "j-#.jpg", "--color-matrix", "1,0,0,0,1,0,0,0"}, "--color-matrix"},
      {{"--jpeg", "j-#.jpg", "--color-matrix", "1,0,0,0,1,0,0,0,nan"}, "--color-matrix"},
      {{"--jpeg", "j-#.jpg", "--gamma", "2.2"}, "--gamma"},
      {{"--jpeg", "j-#.jpg", "--jpeg-quality", "0"}, "--jpeg-quality"},
      {{"--jpeg", "j-#.jpg", "--jpeg-quality", "101"}, "--jpeg-quality"},
      {{"--jpeg-quality", "80"}, "--jpeg-quality"},
      {{"--black-level", "64"}, "--black-level"},
      {{"--half-size", "--dng", "d-#.dng"}, "--half-size"},
      {{"--cfa", "GRBG", "--output", "o-#.raw"}, "--cfa"},
      {{"--jpeg", "j-#.jpg", "--stream", "0x12,64,4,8"}, "--jpeg"},
      {{"--png", "p.png", "--stream", "0x2B,64,4,10", "--stream", "0x1E,64,4,8"}, "--png"},
      {{"--jpeg", "j-#.jpg", "--stream", "0x2B,1,4,10"}, "--stream"},
      {{"--jpeg", "j-#.jpg", "--stream", "0x2B,65536,2,8"}, "--jpeg"},
      {{"--jpeg", "j.jpg"}, "--jpeg"},
  };
  for (const auto& c : blamed) {
    Options options;
    std::string error;
    EXPECT_FALSE(Parse(c.args, &options, &error)) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(error.rfind(std::string(c.option) + ": ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// Catches the development options not reaching the ISP's settings, or a
// black level just below the white level refused.
TEST(TalonCamOptions, DevelopmentSettings) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--jpeg", "j-#.jpg", "--jpeg-quality", "75", "--cfa", "gbrg", "--black-level",
                     "1022", "--white-balance", "2,1,1.5", "--color-matrix",
                     "1.5,-0.25,-0.25,0,1,0,0,0,1", "--gamma", "linear", "--half-size"},
                    &options, &error))
      << error;
  EXPECT_EQ(options.jpeg_quality, 75u);
  EXPECT_EQ(options.isp.cfa, talon_isp::Cfa::kGbrg);
  EXPECT_EQ(options.isp.black_level, 1022u);
  EXPECT_FALSE(options.isp.auto_white_balance);
  EXPECT_EQ(options.isp.wb_gains, (std::array<float, 3>{2, 1, 1.5f}));
  EXPECT_EQ(options.isp.ccm[1], -0.25f);
  EXPECT_EQ(options.isp.transfer, talon_isp::Transfer::kLinear);
  EXPECT_TRUE(options.isp.half_size);
}

// Catches --frames 0 (until stopped) or a single DNG of a single frame
// refused.
TEST(TalonCamOptions, AcceptsRunUntilStoppedAndOneDng) {
  for (const std::vector<const char*>& args :
       {std::vector<const char*>{"--frames", "0"},
        std::vector<const char*>{"--dng", "f.dng", "--frames", "1", "--cfa", "bggr"}}) {
    Options options;
    std::string error;
    EXPECT_TRUE(Parse(args, &options, &error)) << error;
  }
}

// Catches a reason split over lines by an argument holding a line break
// (the second line would pass for the tool's own output).
TEST(TalonCamOptions, ReasonRepeatsArgumentsEscaped) {
  const std::vector<std::vector<const char*>> bad = {
      {"--bogus\nx"}, {"--frames", "1\n2"}, {"--stream", "1,2\n,3,4"}, {"--cfa", "R\nG"}};
  for (const auto& args : bad) {
    Options options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error));
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_NE(error.find("\\n"), std::string::npos) << error;
  }
}

// Catches file names that collide between streams or frames.
TEST(TalonCamOptions, FileNames) {
  EXPECT_EQ(ExpandOutputPattern("frame-#.raw", 43, 12), "frame-43-000012.raw");
  EXPECT_EQ(ExpandOutputPattern("all.raw", 43, 12), "all.raw");
  EXPECT_EQ(ExpandOutputPattern("#/#", 1, 1234567), "1-1234567/1-1234567");
  EXPECT_EQ(PreviewPath("out/p.png", 43, false), "out/p.png");
  EXPECT_EQ(PreviewPath("out/p.png", 43, true), "out/p-43.png");
  EXPECT_EQ(PreviewPath("out.d/p", 42, true), "out.d/p-42");
  EXPECT_EQ(PreviewPath(".hidden", 42, true), ".hidden-42");
}

}  // namespace
}  // namespace talon_cam
