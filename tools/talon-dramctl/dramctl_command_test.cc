#include "tools/talon-dramctl/dramctl_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "tools/talon-dramctl/sys_file_back_end.h"

namespace talon_dramctl {
namespace {

const std::vector<OptionSpec> kOptions = {{"--root", true}, {"--simulate", false}};

// Catches a command line taken for another command: a number read in the
// wrong base, a back-end option lost or given the wrong value (or given twice,
// the last silently winning), an argument after the command word taken for
// an option, a refusal that an argument spreads over several lines, or a
// register's range stated in decimal.
TEST(ParseCommand, TurnsArgumentsIntoTheCommand) {
  struct Case {
    std::vector<std::string> args;
    Action action;
    Setting setting;
    uint32_t address;
    uint32_t value;
    std::string options;  // "name=value;" each
    std::string error;    // empty: parsed
  };
  const Case cases[] = {
      {{"continuous-capture"}, Action::kApply, Setting::kContinuousCapture, 0, 0, "", ""},
      {{"--simulate", "apply", "default"},
       Action::kApply,
       Setting::kDefault,
       0,
       0,
       "--simulate=;",
       ""},
      {{"--root", "/r", "--simulate", "write", "0X040084F0", "4294967295"},
       Action::kWrite,
       Setting::kDefault,
       0x040084F0,
       0xFFFFFFFF,
       "--root=/r;--simulate=;",
       ""},
      {{"read", "67145724"}, Action::kRead, Setting::kDefault, 0x04008FFC, 0, "", ""},
      {{"dump"}, Action::kDump, Setting::kDefault, 0, 0, "", ""},
      {{"--help", "frobnicate"}, Action::kHelp, Setting::kDefault, 0, 0, "", ""},
      {{"dump", "--help"}, Action::kDump, Setting::kDefault, 0, 0, "", "'dump' takes 0 arguments"},
      {{"--root", "", "dump"}, Action::kDump, Setting::kDefault, 0, 0, "", "--root needs a value"},
      {{"read", "0x04008000\n2"},
       Action::kRead,
       Setting::kDefault,
       0,
       0,
       "",
       "address: \"0x04008000\\n2\" is not a number in 0x4008000 to 0x4008FFC"},
      {{"write", "67145728", "1"},
       Action::kWrite,
       Setting::kDefault,
       0,
       0,
       "",
       "address: 67145728 is not in 0x4008000 to 0x4008FFC"},
      {{"write", "0x04008000", "4294967296"},
       Action::kWrite,
       Setting::kDefault,
       0,
       0,
       "",
       "value: 4294967296 is not in 0x0 to 0xFFFFFFFF"},
      {{"--root", "/a", "--root=/b", "dump"},
       Action::kDump,
       Setting::kDefault,
       0,
       0,
       "",
       "--root given twice"},
      {{"write", "0x04008002", "1"},
       Action::kWrite,
       Setting::kDefault,
       0,
       0,
       "",
       "address: 0x04008002 is not aligned to 4 bytes"},
      {{"write", "0x04008000", "0x100000000"},
       Action::kWrite,
       Setting::kDefault,
       0,
       0,
       "",
       "value: 0x100000000 is not in 0x0 to 0xFFFFFFFF"},
      {{"--root=/r", "--state"},
       Action::kHelp,
       Setting::kDefault,
       0,
       0,
       "",
       "unknown option --state (see --help)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Command command;
    std::string error;
    const bool parsed = ParseCommand(c.args, kOptions, &command, &error);
    if (!c.error.empty()) {
      EXPECT_FALSE(parsed);
      EXPECT_EQ(error, c.error);  // one line, whatever the arguments hold
      continue;
    }
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.setting, c.setting);
    EXPECT_EQ(command.address, c.address);
    EXPECT_EQ(command.value, c.value);
    std::string options;
    for (const Option& option : command.back_end_options) {
      options += option.name + "=" + option.value + ";";
    }
    EXPECT_EQ(options, c.options);
  }
}

// Catches Abseil's laxer number syntax (signs, blanks) reaching the tool, and
// values beyond 32 bits taken modulo.
TEST(ParseU32, OnlyPlainDecimalOrHexOf32Bits) {
  const struct {
    const char* text;
    NumberParse result;
    uint32_t value;
  } cases[] = {
      {"0", NumberParse::kOk, 0},
      {"0x1f", NumberParse::kOk, 0x1F},
      {"0XaB", NumberParse::kOk, 0xAB},
      {"4294967295", NumberParse::kOk, 0xFFFFFFFF},
      {"4294967296", NumberParse::kTooLarge, 0},
      {"0x100000000", NumberParse::kTooLarge, 0},
      {"", NumberParse::kMalformed, 0},
      {"0x", NumberParse::kMalformed, 0},
      {"+1", NumberParse::kMalformed, 0},
      {"-1", NumberParse::kMalformed, 0},
      {" 1", NumberParse::kMalformed, 0},
      {"1 ", NumberParse::kMalformed, 0},
      {"0x-1", NumberParse::kMalformed, 0},
      {"0x 1", NumberParse::kMalformed, 0},
      {"1f", NumberParse::kMalformed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t value = 0;
    EXPECT_EQ(ParseU32(c.text, &value), c.result);
    if (c.result == NumberParse::kOk) {
      EXPECT_EQ(value, c.value);
    }
  }
}

// Catches a device back end that takes the host's options, does not put
// the driver's files under --root, or takes a --root without them (found
// only by the controller's failed exchanges). (This binary links the device
// back end, so host builds compile it too.)
TEST(DeviceBackEnd, TakesOnlyRoot) {
  Command command;
  std::string error;
  EXPECT_FALSE(ParseCommand({"--simulate", "dump"}, BackEndOptions(), &command, &error));
  EXPECT_EQ(error, "unknown option --simulate (see --help)");

  talon_testing::TempDir dir;
  const std::string driver_dir = dir.path() + "/sys/kernel/zub_freq_cool";
  ASSERT_TRUE(ParseCommand({"--root", dir.path(), "dump"}, BackEndOptions(), &command, &error));
  BackEnd back_end;
  EXPECT_EQ(ChooseBackEnd(command.back_end_options, &back_end, &error), BackEndChoice::kBadValue);
  EXPECT_EQ(error, "--root " + dir.path() + ": " + driver_dir + ": No such file or directory");
  std::filesystem::create_directories(driver_dir);
  ASSERT_EQ(ChooseBackEnd(command.back_end_options, &back_end, &error), BackEndChoice::kOk);
  EXPECT_EQ(back_end.files->Write("/sys/kernel/zub_freq_cool/ddr_ctl_write", "1;0x2"), 0);
  EXPECT_EQ(talon_testing::ReadFile(driver_dir + "/ddr_ctl_write"), "1;0x2");
}

}  // namespace
}  // namespace talon_dramctl
