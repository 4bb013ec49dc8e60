#include "host/dram_driver/dram_driver_sim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/read_file.h"
#include "testing/temp_dir.h"

namespace vireo {
namespace dram_sim {
namespace {

uint32_t Get(SimulatedDramDriver& driver, uint32_t index) {
  uint32_t value = 0xDEADBEEF;
  EXPECT_TRUE(driver.GetRegister(index, &value));
  return value;
}

// Catches a driver that is laxer than the protocol, so that a formatting
// fault in the controller (padding, upper case, a newline) would go unseen.
TEST(SimulatedDramDriver, WriteFileAcceptsExactlyTheProtocol) {
  SimulatedDramDriver driver;
  EXPECT_EQ(driver.Write(kWriteFilePath, "0;0x0"), 0);
  EXPECT_EQ(driver.Write(kWriteFilePath, "314;0x1000000"), 0);
  EXPECT_EQ(driver.Write(kWriteFilePath, "1023;0xffffffff"), 0);
  EXPECT_EQ(Get(driver, 314), 0x01000000u);
  EXPECT_EQ(Get(driver, 1023), 0xFFFFFFFFu);
  for (const char* bad :
       {"",         "314",      "314;",     "314;0x", "314;1",           "314;0X1",   "314;0xA",
        "314;0x01", "0314;0x1", "1024;0x1", "-1;0x1", "314;0x100000000", "314;0x1\n", " 314;0x1",
        "314;0x1;", "314 ;0x1", "314;0x1 ", ";0x1",   "31a;0x1",         "314;0x-1"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(driver.Write(kWriteFilePath, bad), -1);
    EXPECT_NE(driver.LastError(), "");
  }
  EXPECT_EQ(Get(driver, 314), 0x01000000u);
  EXPECT_EQ(driver.Write("/sys/kernel/zub_freq_cool/other", "314;0x1"), -1);
}

// Catches a read that ignores the selection, a stale output, or reads of the
// wrong file.
TEST(SimulatedDramDriver, ReadFileGivesTheSelectedRegister) {
  SimulatedDramDriver driver;
  std::string out = "stale";
  EXPECT_EQ(driver.Read(kReadFilePath, &out), -1);  // nothing selected yet
  EXPECT_EQ(out, "");
  ASSERT_EQ(driver.Write(kWriteFilePath, "315;0x101"), 0);
  ASSERT_EQ(driver.Write(kReadFilePath, "315"), 0);
  EXPECT_EQ(driver.Read(kReadFilePath, &out), 0);
  EXPECT_EQ(out, "0x00000101");
  for (const char* bad : {"", "315\n", "0315", "1024", "abc", "315;0x1"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(driver.Write(kReadFilePath, bad), -1);
  }
  ASSERT_EQ(driver.Write(kReadFilePath, "0"), 0);
  EXPECT_EQ(driver.Read(kReadFilePath, &out), 0);
  EXPECT_EQ(out, "0x00000000");
  EXPECT_EQ(driver.Read(kWriteFilePath, &out), -1);
  EXPECT_EQ(out, "");
}

// Catches registers lost between processes, and a corrupt state file taken
// for zeros.
TEST(SimulatedDramDriver, StateFileCarriesRegisters) {
  talon_testing::TempDir dir;
  std::string state = dir.path() + "/state";
  {
    SimulatedDramDriver first(state);
    EXPECT_EQ(Get(first, 217), 0u);  // no file yet: all zero
    ASSERT_EQ(first.Write(kWriteFilePath, "217;0xff0b0000"), 0);
    ASSERT_EQ(first.Write(kWriteFilePath, "218;0x10101ff"), 0);
  }
  SimulatedDramDriver second(state);
  EXPECT_EQ(Get(second, 217), 0xFF0B0000u);
  EXPECT_EQ(Get(second, 218), 0x010101FFu);
  ASSERT_EQ(second.Write(kWriteFilePath, "217;0x0"), 0);
  SimulatedDramDriver third(state);
  EXPECT_EQ(Get(third, 217), 0u);
  EXPECT_EQ(Get(third, 218), 0x010101FFu);

  std::ofstream(state, std::ios::trunc) << "218 0x010101ff\nnot a register\n";
  uint32_t value = 0;
  EXPECT_FALSE(third.GetRegister(218, &value));
  EXPECT_EQ(third.Write(kWriteFilePath, "314;0x1"), -1);
  EXPECT_NE(third.LastError().find("malformed"), std::string::npos);
}

// Catches a state update that writes through a link planted at a name in the
// state file's directory (the predictable temporary name "<state>.tmp.<pid>"),
// or that leaves a temporary file behind.
TEST(SimulatedDramDriver, StateUpdateNeverFollowsALink) {
  talon_testing::TempDir dir;
  const std::string state = dir.path() + "/state";
  const std::string victim = dir.path() + "/victim";
  const std::string planted = state + ".tmp." + std::to_string(getpid());
  std::ofstream(victim) << "precious";
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

  SimulatedDramDriver driver(state);
  ASSERT_EQ(driver.Write(kWriteFilePath, "217;0xff0b0000"), 0) << driver.LastError();
  EXPECT_EQ(Get(driver, 217), 0xFF0B0000u);
  EXPECT_EQ(talon_testing::ReadFile(victim), "precious");
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names,
            (std::set<std::string>{"state", "victim", planted.substr(dir.path().size() + 1)}));
}

// Catches a state file in a missing directory that reads as all-zero
// registers while every write fails.
TEST(SimulatedDramDriver, StateInMissingDirectoryIsAnError) {
  talon_testing::TempDir dir;
  SimulatedDramDriver driver(dir.path() + "/missing/state");
  uint32_t value = 0;
  EXPECT_FALSE(driver.GetRegister(217, &value));
  EXPECT_NE(driver.LastError().find("does not exist"), std::string::npos) << driver.LastError();
  ASSERT_EQ(driver.Write(kReadFilePath, "217"), 0);
  std::string line;
  EXPECT_EQ(driver.Read(kReadFilePath, &line), -1);
}

// Catches a default state file in a place others can write or predict: a
// shared XDG_RUNTIME_DIR is passed over for a 0700 directory under the home
// directory, and a state directory that others may write is refused.
TEST(DefaultStatePath, IsPrivateToTheUser) {
  talon_testing::TempDir dir;
  const std::string runtime = dir.path() + "/run";
  const std::string home = dir.path() + "/home";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  const char* old_runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved_runtime = old_runtime != nullptr ? old_runtime : "";
  const std::string saved_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("HOME", home.c_str(), 1);

  std::string path;
  std::string error;
  ASSERT_TRUE(DefaultStatePath(&path, &error)) << error;
  EXPECT_EQ(path, runtime + "/talon-dramctl.state");

  ASSERT_EQ(chmod(runtime.c_str(), 0777), 0);
  ASSERT_TRUE(DefaultStatePath(&path, &error)) << error;
  const std::string state_dir = home + "/.cache/talon-dramctl";
  EXPECT_EQ(path, state_dir + "/state");
  struct stat status;
  ASSERT_EQ(stat(state_dir.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  ASSERT_EQ(chmod(state_dir.c_str(), 0777), 0);
  EXPECT_FALSE(DefaultStatePath(&path, &error));
  EXPECT_NE(error.find("not private"), std::string::npos) << error;

  if (old_runtime != nullptr) {
    setenv("XDG_RUNTIME_DIR", saved_runtime.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  setenv("HOME", saved_home.c_str(), 1);
}

// Catches unsynchronised register updates (run under ThreadSanitizer).
TEST(SimulatedDramDriver, ConcurrentWritersKeepEveryRegister) {
  SimulatedDramDriver driver;
  auto writer = [&driver](uint32_t first) {
    for (uint32_t i = first; i < first + 256; ++i) {
      std::string text = std::to_string(i) + ";0x" + std::to_string(i + 1);
      EXPECT_EQ(driver.Write(kWriteFilePath, text), 0);
      // The selection is shared, so the line may be the other thread's register.
      EXPECT_EQ(driver.Write(kReadFilePath, std::to_string(i)), 0);
      std::string out;
      EXPECT_EQ(driver.Read(kReadFilePath, &out), 0);
      EXPECT_EQ(out.size(), 10u);
    }
  };
  std::thread a(writer, 0);
  std::thread b(writer, 512);
  a.join();
  b.join();
  EXPECT_EQ(Get(driver, 0), 0x1u);
  EXPECT_EQ(Get(driver, 767), 0x768u);
}

}  // namespace
}  // namespace dram_sim
}  // namespace vireo
