#include "support/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/capture/capture_util.h"

namespace talon_support {
namespace {

// Every option a tool takes goes through one of these, so the table is the
// tools' limits. Catches a limit that disagrees with what the library and
// the runtime accept (width 0 or 65537, bits 12, virtual channel 4, receiver
// 4, one stream too narrow for a 16-bit row unit, a timeout of 0 that times
// every frame out), a sign, blank or trailing junk taken as part of a number,
// an overflow wrapped into range, an option given twice of which the last
// silently wins, and a refusal that does not name the option, the value and
// the range.
TEST(Options, CommandLinesWithinTheLimits) {
  struct Case {
    std::vector<const char*> args;
    const char* error;  // "" when accepted
  };
  const Case cases[] = {
      {{"--virtual-channel", "3", "--mipi-rx", "3"}, ""},
      {{"--virtual-channel", "4"}, "--virtual-channel: 4 is not in 0 to 3"},
      {{"--mipi-rx", "4"}, "--mipi-rx: 4 is not in 0 to 3"},
      {{"--mipi-rx", "-1"}, "--mipi-rx: \"-1\" is not a number in 0 to 3"},
      {{"--stream", "0x2B,0,4,10"}, "--stream: width 0 in \"0x2B,0,4,10\" is not in 1 to 65536"},
      {{"--stream", "0x2B,64,4,12"}, "--stream: bits 12 in \"0x2B,64,4,12\" is not 8, 10 or 16"},
      {{"--stream", "0x2B,64,4,x"}, "--stream: bits x in \"0x2B,64,4,x\" is not 8, 10 or 16"},
      {{"--stream", "0x2B,64,4,8\n--quiet"},  // a reason of one line
       "--stream: bits 8\\n--quiet in \"0x2B,64,4,8\\n--quiet\" is not 8, 10 or 16"},
      {{"--stream", "0x2E,65536,65536,16,1", "--stream", "0x2A,2,1,8"}, ""},
      {{"--stream", "0x2E,65537,1,16"},
       "--stream: width 65537 in \"0x2E,65537,1,16\" is not in 1 to 65536"},
      {{"--stream", "43,4,65537,8"},
       "--stream: height 65537 in \"43,4,65537,8\" is not in 1 to 65536"},
      {{"--stream", "0x2B,1,4,10"},
       "--stream: width 1 in \"0x2B,1,4,10\" is not in 2 to 65536 at 10 bits"},
      {{"--stream", "0x80000000,4,4,8"},
       "--stream: data type 0x80000000 in \"0x80000000,4,4,8\" is not in 0x0 to 0x3F"},
      {{"--stream", "0x99,4,4,8"},  // a 32-bit value, but no CSI-2 data type
       "--stream: data type 0x99 in \"0x99,4,4,8\" is not in 0x0 to 0x3F"},
      {{"--stream", "0x2B,640"}, "--stream: \"0x2B,640\" is not dt,width,height,bits[,pad]"},
      {{"--stream", "0x2B,640,480,10,2"},
       "--stream: pad 2 in \"0x2B,640,480,10,2\" is not in 0 to 1"},
      {{"--stream", "0x,640,480,10"},
       "--stream: data type \"0x\" in \"0x,640,480,10\" is not a number in 0 to 63"},
      {{"--stream=1,4,4,8", "--stream=2,4,4,8", "--stream=3,4,4,8", "--stream=4,4,4,8"},
       "--stream: \"4,4,4,8\" is one too many (1 to 3 streams)"},
      {{"--timeout-ms", "1", "--stream", "0x2A,4,4,8"}, ""},
      {{"--timeout-ms", "0"}, "--timeout-ms: 0 is not in 1 to 4294967295"},
      {{"--timeout-ms", "4294967296"}, "--timeout-ms: 4294967296 is not in 1 to 4294967295"},
      {{"--timeout-ms=5", "--mipi-rx", "1", "--timeout-ms", "5"}, "--timeout-ms given twice"},
      {{"-q", "--quiet"}, "--quiet given twice"},
      {{"--buffers", "0"}, "--buffers: 0 is not in 1 to 1024"},
      {{"--buffers", "0x10"}, ""},
      {{"--buffers", "0x401"}, "--buffers: 0x401 is not in 0x1 to 0x400"},
      {{"--frames", "-1"}, "--frames: \"-1\" is not a number in 0 to 18446744073709551615"},
      {{"--frames", "18446744073709551616"},
       "--frames: \"18446744073709551616\" is not a number in 0 to 18446744073709551615"},
      {{"--frames", "10x"}, "--frames: \"10x\" is not a number in 0 to 18446744073709551615"},
      {{"--frames", " 10"}, "--frames: \" 10\" is not a number in 0 to 18446744073709551615"},
      {{"--frames", "+10"}, "--frames: \"+10\" is not a number in 0 to 18446744073709551615"},
      {{"--frames", "1\n2"}, "--frames: \"1\\n2\" is not a number in 0 to 18446744073709551615"},
      {{"-n", "7", "-q"}, ""},
      {{"--frames"}, "--frames needs a value"},
      {{"--quiet=1"}, "--quiet takes no value"},
      {{"--frame", "1"}, "unknown option --frame (see --help)"},
      {{"stray"}, "unexpected argument \"stray\""},
  };
  for (const Case& c : cases) {
    vireo::CaptureConfig config;
    uint32_t buffers = 3;
    uint64_t frames = 0;
    bool quiet = false;
    OptionSpec frames_spec = UnsignedOption("--frames", 0, UINT64_MAX, &frames);
    frames_spec.alias = "-n";
    const std::vector<OptionSpec> specs = {StreamOption(&config.stream_configs),
                                           MipiRxOption(&config),
                                           VirtualChannelOption(&config),
                                           UnsignedOption("--buffers", 1, 1024, &buffers),
                                           frames_spec,
                                           FlagOption("--quiet", "-q", &quiet),
                                           TimeoutOption(&config.timeout_ms)};
    std::vector<const char*> argv = {"tool"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string error;
    const bool ok = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), specs, &error);
    EXPECT_EQ(error, c.error) << c.args.front();
    EXPECT_EQ(ok, *c.error == '\0') << c.args.front();
  }
}

// Catches a configuration built in code (not through --stream) that the
// library or the runtime would refuse getting past the check, and the
// library's own check disagreeing with the shared limits, and a problem
// given as data that blames another setting or value than its text.
TEST(Options, CheckConfigRefusesWhatTheLibraryWould) {
  using Setting = ConfigProblem::Setting;
  struct Case {
    const char* name;
    void (*change)(vireo::CaptureConfig*);
    const char* error;
    Setting setting = Setting::kStreams;
    const char* value = "";
  };
  const Case cases[] = {
      {"default", [](vireo::CaptureConfig*) {}, ""},
      {"no stream", [](vireo::CaptureConfig* c) { c->stream_configs.clear(); },
       "--stream: 0 streams given, 1 to 3 allowed", Setting::kStreams, "0"},
      {"four streams",
       [](vireo::CaptureConfig* c) {
         c->stream_configs = {{vireo::CSI2_RAW8, 4, 4, 8},
                              {vireo::CSI2_RAW10, 4, 4, 10},
                              {vireo::CSI2_RAW16, 4, 4, 16},
                              {vireo::CSI2_RGB888, 4, 4, 8}};
       },
       "--stream: 4 streams given, 1 to 3 allowed", Setting::kStreams, "4"},
      {"data type twice",
       [](vireo::CaptureConfig* c) { c->stream_configs.push_back(DefaultStream()); },
       "--stream: data type 0x2B is given twice (one stream per data type)", Setting::kStreams,
       "0x2B,640,480,10"},
      {"bits", [](vireo::CaptureConfig* c) { c->stream_configs[0].bits_per_component = 12; },
       "--stream: bits 12 in \"0x2B,640,480,12\" is not 8, 10 or 16", Setting::kStreams,
       "0x2B,640,480,12"},
      {"negative data type",
       [](vireo::CaptureConfig* c) {
         c->stream_configs[0].data_type = static_cast<vireo::MipiDataTypeCsi2>(-1);
       },
       "--stream: data type 0xFFFFFFFF in \"0xFFFFFFFF,640,480,10\" is not in 0x0 to 0x3F",
       Setting::kStreams, "0xFFFFFFFF,640,480,10"},
      {"virtual channel", [](vireo::CaptureConfig* c) { c->virtual_channel = 4; },
       "--virtual-channel: 4 is not in 0 to 3", Setting::kVirtualChannel, "4"},
      {"receiver", [](vireo::CaptureConfig* c) { c->mipi_rx = -2; },
       "--mipi-rx: -2 is not in 0 to 3", Setting::kMipiRx, "-2"},
  };
  for (const Case& c : cases) {
    vireo::CaptureConfig config;
    config.stream_configs = {DefaultStream()};
    c.change(&config);
    std::string error;
    EXPECT_EQ(CheckConfig(config, &error), *c.error == '\0') << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    ConfigProblem problem;
    if (!CheckConfig(config, &problem)) {
      EXPECT_EQ(problem.setting, c.setting) << c.name;
      EXPECT_EQ(problem.value, c.value) << c.name;
      EXPECT_EQ(ProblemText(SettingOption(problem.setting), problem), c.error) << c.name;
    }
    if (error.empty()) {
      EXPECT_EQ(vireo::vireo_util::CheckCaptureConfig(config), vireo::CaptureError::SUCCESS);
    }
  }
}

// Catches an argument after the first positional one (a command's own
// arguments) taken for an option, and "--" or "-" taken for options.
TEST(Options, OptionsEndAtTheFirstArgument) {
  struct Case {
    std::vector<const char*> args;
    const char* root;
    const char* positional;  // joined by ' '
  };
  const Case cases[] = {
      {{"--root", "/r", "dump", "--help"}, "/r", "dump --help"},
      {{"--root=/s", "--", "-x"}, "/s", "-x"},
      {{"-", "--root=/t"}, "", "- --root=/t"},
  };
  for (const Case& c : cases) {
    std::string root;
    bool help = false;
    const std::vector<OptionSpec> specs = {StringOption("--root", &root),
                                           FlagOption("--help", "-h", &help)};
    std::vector<const char*> argv = {"tool"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::vector<std::string> positional;
    std::string error;
    ASSERT_TRUE(
        ParseCommandLine(static_cast<int>(argv.size()), argv.data(), specs, &positional, &error))
        << error;
    std::string joined;
    for (const std::string& arg : positional) joined += (joined.empty() ? "" : " ") + arg;
    EXPECT_EQ(joined, c.positional);
    EXPECT_EQ(root, c.root);
    EXPECT_FALSE(help);
  }
}

// Catches signed numbers wrapping at the ends of int64_t.
TEST(Options, SignedNumbers) {
  int64_t value = 0;
  std::string error;
  EXPECT_TRUE(ParseSigned("--x", "-9223372036854775808", INT64_MIN, 0, &value, &error));
  EXPECT_EQ(value, INT64_MIN);
  EXPECT_TRUE(ParseSigned("--x", "-0x10", -16, 0, &value, &error));
  EXPECT_EQ(value, -16);
  EXPECT_FALSE(ParseSigned("--x", "9223372036854775808", INT64_MIN, INT64_MAX, &value, &error));
  EXPECT_EQ(error,
            "--x: \"9223372036854775808\" is not a number in -9223372036854775808 to "
            "9223372036854775807");
  EXPECT_FALSE(ParseSigned("--x", "-17", -16, 16, &value, &error));
  EXPECT_EQ(error, "--x: -17 is not in -16 to 16");
}

}  // namespace
}  // namespace talon_support
