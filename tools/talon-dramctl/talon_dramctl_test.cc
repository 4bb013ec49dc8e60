// Runs talon-dramctl as a separate process, the way a person would.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "absl/strings/str_split.h"
#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "testing/tool_runner.h"

namespace {

using talon_testing::ToolResult;

// The words of `args` are the tool's arguments; the tests use only plain
// words and temporary paths. Standard output and standard error together.
ToolResult RunTool(const std::string& args) {
  std::vector<std::string> argv = {TALON_DRAMCTL_PATH};
  for (absl::string_view word : absl::StrSplit(args, ' ', absl::SkipEmpty())) {
    argv.emplace_back(word);
  }
  return talon_testing::RunTool(argv);
}

class TalonDramctl : public ::testing::Test {
 protected:
  ToolResult Sim(const std::string& args) {
    return RunTool("--simulate --state " + dir_.path() + "/state " + args);
  }
  talon_testing::TempDir dir_;
};

// Catches settings that do not reach the registers, a state that does not
// carry from one run to the next, or a wrong decoding of the fields.
TEST_F(TalonDramctl, DefaultThenDump) {
  ToolResult applied = Sim("default");
  EXPECT_EQ(applied.status, 0) << applied.out;
  ToolResult dump = Sim("dump");
  ASSERT_EQ(dump.status, 0) << dump.out;
  EXPECT_NE(dump.out.find("0x040084ec = 0x00000101  read priority 1, write priority 1"),
            std::string::npos)
      << dump.out;
  EXPECT_NE(dump.out.find("0x040084e8 = 0x00000000  disabled"), std::string::npos);
  EXPECT_NE(dump.out.find("0x040084f0 = 0x00010100  read priority 1, write priority 1, "
                          "disabled"),
            std::string::npos);
  EXPECT_NE(dump.out.find("command age count  0x04008368 = 0x010101ff  255"), std::string::npos);
  EXPECT_NE(dump.out.find("age count          0x04008364 = 0xff0b0000  255"), std::string::npos);

  EXPECT_EQ(Sim("apply continuous-capture").status, 0);
  dump = Sim("dump");
  EXPECT_NE(dump.out.find("0x040084e8 = 0x01000000  enabled"), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("0x04008364 = 0x000b0000  0"), std::string::npos);
}

// Catches a write or read that misses its register.
TEST_F(TalonDramctl, WriteThenRead) {
  EXPECT_EQ(Sim("write 0x040084f0 0x100").status, 0);
  EXPECT_EQ(Sim("write 67145724 4294967295").status, 0);  // 0x04008ffc, decimal
  ToolResult read = Sim("read 0x040084F0");
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.out, "0x00000100\n");
  EXPECT_EQ(Sim("read 0x04008ffc").out, "0xffffffff\n");
}

// Catches bad input that reaches the driver or exits with success.
TEST_F(TalonDramctl, BadInputIsAUsageError) {
  const char* bad[] = {"",
                       "frobnicate",
                       "apply turbo",
                       "write 0x04009000 1",
                       "write 0x04007ffc 1",
                       "write 0x04008002 1",
                       "write 0x040084f0 0x100000000",
                       "write 0x040084f0 -1",
                       "write 0x040084f0",
                       "read zz",
                       "read 0x",
                       "dump extra",
                       "--bogus dump"};
  for (const char* args : bad) {
    SCOPED_TRACE(args);
    ToolResult r = Sim(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.out.rfind("talon-dramctl: ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/state"));
  ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: talon-dramctl"), std::string::npos);
}

// Catches a --root that does not reach the files under the directory, and a
// --root without them that is not a usage error.
TEST_F(TalonDramctl, RootDirectory) {
  std::string driver_dir = dir_.path() + "/sys/kernel/zub_freq_cool";
  ToolResult missing = RunTool("--root " + dir_.path() + " write 0x040084f0 0x100");
  EXPECT_EQ(missing.status, 2) << missing.out;
  std::filesystem::create_directories(driver_dir);
  ToolResult written = RunTool("--root " + dir_.path() + " write 0x040084f0 0x100");
  EXPECT_EQ(written.status, 0) << written.out;
  EXPECT_EQ(talon_testing::ReadFile(driver_dir + "/ddr_ctl_write"), "316;0x100");
}

// Catches a back end that cannot be used found only by the exchanges (one
// "Check failed" line per exchange, paths without the root, a partial dump,
// exit status 1), and a repeated option of which the last silently wins.
TEST_F(TalonDramctl, BadPathOrRepeatedOptionIsOneLine) {
  const struct {
    std::string args;
    std::string error;
  } cases[] = {
      {"--root /nonexistent dump",
       "--root /nonexistent: /nonexistent/sys/kernel/zub_freq_cool: No such file or directory"},
      {"--simulate --state nodir/st dump",
       "--state nodir/st: the state file's directory nodir does not exist"},
      {"--root /a --root /b dump", "--root given twice"},
      {"--simulate --state " + dir_.path() + "/a --state " + dir_.path() + "/b default",
       "--state given twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "talon-dramctl: " + c.error + "\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

}  // namespace
