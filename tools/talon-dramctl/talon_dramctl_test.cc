// Runs talon-dramctl as a separate process, the way a person would.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace {

struct Result {
  int status = -1;     // exit status
  std::string output;  // standard output and standard error
};

// Arguments are passed to the shell as written; the tests use only plain
// words and temporary paths.
Result RunTool(const std::string& args) {
  Result result;
  std::string command =
      std::string(TALON_TEST_EMULATOR) + " " + TALON_DRAMCTL_PATH + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class TalonDramctl : public ::testing::Test {
 protected:
  Result Sim(const std::string& args) {
    return RunTool("--simulate --state " + dir_.path() + "/state " + args);
  }
  talon_testing::TempDir dir_;
};

// Catches settings that do not reach the registers, a state that does not
// carry from one run to the next, or a wrong decoding of the fields.
TEST_F(TalonDramctl, DefaultThenDump) {
  Result applied = Sim("default");
  EXPECT_EQ(applied.status, 0) << applied.output;
  Result dump = Sim("dump");
  ASSERT_EQ(dump.status, 0) << dump.output;
  EXPECT_NE(dump.output.find("0x040084ec = 0x00000101  read priority 1, write priority 1"),
            std::string::npos)
      << dump.output;
  EXPECT_NE(dump.output.find("0x040084e8 = 0x00000000  disabled"), std::string::npos);
  EXPECT_NE(dump.output.find("0x040084f0 = 0x00010100  read priority 1, write priority 1, "
                             "disabled"),
            std::string::npos);
  EXPECT_NE(dump.output.find("command age count  0x04008368 = 0x010101ff  255"),
            std::string::npos);
  EXPECT_NE(dump.output.find("age count          0x04008364 = 0xff0b0000  255"),
            std::string::npos);

  EXPECT_EQ(Sim("apply continuous-capture").status, 0);
  dump = Sim("dump");
  EXPECT_NE(dump.output.find("0x040084e8 = 0x01000000  enabled"), std::string::npos)
      << dump.output;
  EXPECT_NE(dump.output.find("0x04008364 = 0x000b0000  0"), std::string::npos);
}

// Catches a write or read that misses its register.
TEST_F(TalonDramctl, WriteThenRead) {
  EXPECT_EQ(Sim("write 0x040084f0 0x100").status, 0);
  EXPECT_EQ(Sim("write 67145724 4294967295").status, 0);  // 0x04008ffc, decimal
  Result read = Sim("read 0x040084F0");
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.output, "0x00000100\n");
  EXPECT_EQ(Sim("read 0x04008ffc").output, "0xffffffff\n");
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
    Result r = Sim(args);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(r.output.rfind("talon-dramctl: ", 0), 0u) << r.output;
    EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << "one line: " << r.output;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/state"));
  Result help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: talon-dramctl"), std::string::npos);
}

// Catches a --root that does not reach the files under the directory, and a
// failed write reported as success.
TEST_F(TalonDramctl, RootDirectory) {
  std::string driver_dir = dir_.path() + "/sys/kernel/zub_freq_cool";
  Result missing = RunTool("--root " + dir_.path() + " write 0x040084f0 0x100");
  EXPECT_EQ(missing.status, 1) << missing.output;
  std::filesystem::create_directories(driver_dir);
  Result written = RunTool("--root " + dir_.path() + " write 0x040084f0 0x100");
  EXPECT_EQ(written.status, 0) << written.output;
  std::ifstream in(driver_dir + "/ddr_ctl_write");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "316;0x100");
}

}  // namespace
