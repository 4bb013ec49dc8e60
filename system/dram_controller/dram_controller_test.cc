#include "system/dram_controller/dram_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/dram_driver/dram_driver_sim.h"
#include "syslog/system_log.h"
#include "testing/log_capture.h"
#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "tools/talon-dramctl/device_sys_files.h"

namespace vireo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kWriteFile[] = "/sys/kernel/zub_freq_cool/ddr_ctl_write";
constexpr char kReadFile[] = "/sys/kernel/zub_freq_cool/ddr_ctl_read";

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// What a recording double saw and how it is told to answer. Shared with the
// test because the controller owns the double.
struct Recording {
  std::vector<std::string> calls;  // "Write <path> <text>" / "Read <path>"
  int fail_write = 0;              // the nth Write (from 1) returns -1
  int writes = 0;
  std::string read_line = "0x00000101";
  int read_result = 0;
  bool destroyed = false;
};

class RecordingSysFile : public SysFileInterface {
 public:
  explicit RecordingSysFile(std::shared_ptr<Recording> r) : r_(std::move(r)) {}
  ~RecordingSysFile() override { r_->destroyed = true; }
  int Write(const std::string& path, const std::string& input) override {
    r_->calls.push_back("Write " + path + " " + input);
    return ++r_->writes == r_->fail_write ? -1 : 0;
  }
  int Read(const std::string& path, std::string* output) override {
    r_->calls.push_back("Read " + path);
    *output = r_->read_line;
    return r_->read_result;
  }

 private:
  std::shared_ptr<Recording> r_;
};

// Texts written into the write file, in order.
std::vector<std::string> Written(const Recording& r) {
  std::vector<std::string> out;
  std::string prefix = std::string("Write ") + kWriteFile + " ";
  for (const std::string& c : r.calls) {
    if (c.rfind(prefix, 0) == 0) out.push_back(c.substr(prefix.size()));
  }
  return out;
}

struct Fixture {
  std::shared_ptr<Recording> r = std::make_shared<Recording>();
  DramController controller{std::make_unique<RecordingSysFile>(r)};
};

// ---------------------------------------------------------------------------
// ReadWriteSysFile

// Catches an added newline or terminator, and an append instead of a truncate.
TEST(ReadWriteSysFile, WriteStoresExactlyTheInput) {
  talon_testing::TempDir dir;
  ReadWriteSysFile files;
  std::string path = dir.path() + "/f";
  Put(path, "an older and longer text\n");
  EXPECT_EQ(files.Write(path, "217;0xff0b0000"), 0);
  EXPECT_EQ(talon_testing::ReadFile(path), "217;0xff0b0000");
  EXPECT_EQ(talon_testing::ReadFile(path).size(), 14u);
  EXPECT_EQ(files.Write(path, ""), 0);
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ(talon_testing::ReadFile(path), "");
}

// Catches a read that keeps the newline, reads past the first line, keeps
// stale output, or accepts an empty file.
TEST(ReadWriteSysFile, ReadsTheFirstLine) {
  talon_testing::TempDir dir;
  ReadWriteSysFile files;
  std::string path = dir.path() + "/f";
  struct Case {
    std::string bytes;
    int result;
    std::string line;
  };
  for (const Case& c : {Case{"0x00000101\n", 0, "0x00000101"}, Case{"0x00000101", 0, "0x00000101"},
                        Case{"\n", 0, ""}, Case{"first\nsecond\n", 0, "first"}, Case{"", -1, ""}}) {
    SCOPED_TRACE(c.bytes);
    Put(path, c.bytes);
    std::string out = "stale";
    talon_testing::ScopedLogCapture log;
    EXPECT_EQ(files.Read(path, &out), c.result);
    EXPECT_EQ(out, c.line);
    if (c.result < 0) {
      EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
                  ElementsAre("Error while reading sys file: " + path));
    } else {
      EXPECT_THAT(log.Messages(), IsEmpty());
    }
  }
}

// Catches a fatal check (abort) or a reported success when the file cannot be
// opened, and a write that creates files where it should not.
TEST(ReadWriteSysFile, UnopenableFileIsAnErrorNotAnAbort) {
  talon_testing::TempDir dir;
  ReadWriteSysFile files;
  std::string path = dir.path() + "/missing/ddr_ctl_write";
  talon_testing::ScopedLogCapture log;
  EXPECT_EQ(files.Write(path, "314;0x0"), -1);
  EXPECT_FALSE(Exists(path));
  std::string out = "stale";
  EXPECT_EQ(files.Read(path, &out), -1);
  EXPECT_EQ(out, "");
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre("Check failed: fs.is_open() Error: Couldn't open DRAM "
                          "controller sys file: " +
                              path + " for writing",
                          "Check failed: fs.is_open() Error: Couldn't open DRAM "
                          "controller sys file: " +
                              path + " for reading"));
  EXPECT_THAT(log.Messages(SYSTEM_LOG_FATAL), IsEmpty());
}

// Catches a write reported as success although the final flush failed (the
// way a driver refuses a command).
TEST(ReadWriteSysFile, FailedFlushIsAFailedWrite) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ReadWriteSysFile files;
  talon_testing::ScopedLogCapture log;
  EXPECT_EQ(files.Write("/dev/full", "314;0x0"), -1);
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre("Error while writing sys file: /dev/full with input: 314;0x0"));
}

// Catches a read failure after a successful open reported as success.
TEST(ReadWriteSysFile, UnreadableFileIsAFailedRead) {
  talon_testing::TempDir dir;
  ReadWriteSysFile files;
  std::string out = "stale";
  talon_testing::ScopedLogCapture log;
  EXPECT_EQ(files.Read(dir.path(), &out), -1);  // a directory opens but cannot be read
  EXPECT_EQ(out, "");
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre("Error while reading sys file: " + dir.path()));
}

// ---------------------------------------------------------------------------
// DramController with a recording double

// Catches wrong texts, a wrong order, a missing step or a touched read file in
// the two settings.
TEST(DramController, SettingsWriteTheirSequences) {
  Fixture f;
  f.controller.DefaultSettings();
  EXPECT_THAT(f.r->calls.size(), 5u);
  EXPECT_THAT(Written(*f.r), ElementsAre("314;0x0", "315;0x101", "316;0x10100", "218;0x10101ff",
                                         "217;0xff0b0000"));
  Fixture g;
  g.controller.ContinuousCaptureSettings();
  EXPECT_THAT(g.r->calls.size(), 7u);
  EXPECT_THAT(Written(*g.r), ElementsAre("314;0x0", "315;0x0", "314;0x1000000", "316;0x0",
                                         "316;0x1", "218;0x10101ff", "217;0xb0000"));
}

// Catches index arithmetic, padded or upper-case hexadecimal, and wrong field
// positions of the single-register operations.
TEST(DramController, RegisterCommandTexts) {
  Fixture f;
  f.controller.WriteRegister(0x04008000, 0);
  f.controller.WriteRegister(0x040084F0, 0x100);
  f.controller.WriteRegister(0x04008FFC, 0xABCDEF01);
  f.controller.WriteAxi0RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel0,
                                   false);
  f.controller.WriteAxi0RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel0,
                                   true);
  f.controller.WriteAxi1RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel0,
                                   true);
  f.controller.WriteAxi1RWPriority(DramController::kPriorityLevel0, DramController::kPriorityLevel1,
                                   false);
  f.controller.WriteCommandAgeCount(0);
  f.controller.WriteCommandAgeCount(255);
  f.controller.WriteAgeCount(0);
  f.controller.WriteAgeCount(255);
  EXPECT_THAT(Written(*f.r), ElementsAre("0;0x0", "316;0x100", "1023;0xabcdef01",  //
                                         "314;0x0", "315;0x1",                     //
                                         "314;0x0", "315;0x1", "314;0x1000000",    //
                                         "316;0x100", "316;0x101", "316;0x10000",  //
                                         "218;0x1010100", "218;0x10101ff",         //
                                         "217;0xb0000", "217;0xff0b0000"));
}

// Catches a register read that skips the selection, reads another file,
// trims the driver's line, or returns stale text after a failure.
TEST(DramController, ReadRegisterSelectsThenReads) {
  Fixture f;
  f.r->read_line = " 0x00000101 ";
  EXPECT_EQ(f.controller.ReadRegister(0x040084EC), " 0x00000101 ");
  EXPECT_THAT(f.r->calls, ElementsAre(std::string("Write ") + kReadFile + " 315",
                                      std::string("Read ") + kReadFile));

  f.r->calls.clear();
  f.r->read_line = "partial";
  f.r->read_result = -1;
  talon_testing::ScopedLogCapture log;
  EXPECT_EQ(f.controller.ReadRegister(0x040084EC), "");
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre(std::string("Error: Couldn't read from DRAM controller sys file: ") +
                              kReadFile + "; error: -1",
                          "Check failed: err >= 0 Error while reading register 315; "
                          "error code: -1"));
}

// Catches a read after a failed selection (it would return another
// register's value).
TEST(DramController, FailedSelectionStopsTheRead) {
  Fixture f;
  f.r->fail_write = 1;
  talon_testing::ScopedLogCapture log;
  EXPECT_EQ(f.controller.ReadRegister(0x04008364), "");
  EXPECT_THAT(f.r->calls, ElementsAre(std::string("Write ") + kReadFile + " 217"));
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre(std::string("Error: Couldn't write string: 217 to DRAM "
                                      "controller sys file: ") +
                              kReadFile + "; error: -1",
                          "Check failed: err >= 0 Error while reading register 217; "
                          "error code: -1"));
}

// Catches an abort on a refused register write and wrong log texts.
TEST(DramController, FailedRegisterWriteIsLogged) {
  Fixture f;
  f.r->fail_write = 1;
  talon_testing::ScopedLogCapture log;
  f.controller.WriteRegister(0x040084F0, 0x100);
  EXPECT_THAT(log.Messages(SYSTEM_LOG_ERROR),
              ElementsAre(std::string("Error: Couldn't write string: 316;0x100 to DRAM "
                                      "controller sys file: ") +
                              kWriteFile + "; error: -1",
                          "Check failed: err >= 0 Error while writing register 316 with "
                          "value: 256; error code: -1"));
  EXPECT_THAT(log.Messages(SYSTEM_LOG_FATAL), IsEmpty());
}

// Catches a sequence that goes on after a failed register write (e.g.
// enabling port 0 although its priorities were not set).
TEST(DramController, SequencesStopAtTheFirstFailedWrite) {
  struct Case {
    const char* name;
    int fail_write;
    void (*run)(DramController&);
    size_t writes;
  };
  const Case cases[] = {
      {"default, 2nd", 2, [](DramController& c) { c.DefaultSettings(); }, 2},
      {"default, 4th", 4, [](DramController& c) { c.DefaultSettings(); }, 4},
      {"continuous, 3rd", 3, [](DramController& c) { c.ContinuousCaptureSettings(); }, 3},
      {"continuous, 5th", 5, [](DramController& c) { c.ContinuousCaptureSettings(); }, 5},
      {"axi0, 1st", 1,
       [](DramController& c) {
         c.WriteAxi0RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel1,
                               true);
       },
       1},
      {"axi0, 2nd", 2,
       [](DramController& c) {
         c.WriteAxi0RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel1,
                               true);
       },
       2},
      {"axi1, 1st", 1,
       [](DramController& c) {
         c.WriteAxi1RWPriority(DramController::kPriorityLevel1, DramController::kPriorityLevel1,
                               true);
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.r->fail_write = c.fail_write;
    talon_testing::ScopedLogCapture log;
    c.run(f.controller);
    EXPECT_EQ(f.r->calls.size(), c.writes);
    EXPECT_EQ(log.Count("Check failed: err >= 0 Error while writing register"), 1);
  }
}

// Catches a count above 255 masked, clamped or written into a neighbouring
// field.
TEST(DramController, CountsAbove255AreNeverWritten) {
  Fixture f;
  talon_testing::ScopedLogCapture log;
  f.controller.WriteCommandAgeCount(256);
  f.controller.WriteCommandAgeCount(0xFFFFFFFF);
  f.controller.WriteAgeCount(256);
  f.controller.WriteAgeCount(0x80000000);
  EXPECT_THAT(f.r->calls, IsEmpty());
  EXPECT_EQ(log.Count("Check failed: command_age_count <= kCommandAgeCountMaxValue "), 2);
  EXPECT_EQ(log.Count("Check failed: age_count <= kAgeCountMaxValue "), 2);
  EXPECT_TRUE(log.Contains("4294967295"));
  EXPECT_EQ(log.Messages(SYSTEM_LOG_ERROR).size(), 4u);
}

// Catches index arithmetic that wraps for addresses outside the block (below
// the base would become index 1073741823) or drops misaligned low bits, and a
// refusal that misstates the block.
TEST(DramController, AddressesOutsideTheBlockAreRefused) {
  Fixture f;
  talon_testing::ScopedLogCapture log;
  for (uint32_t address : {0u, 0x04007FFCu, 0x04009000u, 0xFFFFFFFCu, 0x04008001u, 0x040084EEu}) {
    f.controller.WriteRegister(address, 1);
    EXPECT_EQ(f.controller.ReadRegister(address), "");
  }
  EXPECT_THAT(f.r->calls, IsEmpty());
  EXPECT_EQ(log.Messages(SYSTEM_LOG_ERROR).size(), 12u);
  EXPECT_TRUE(
      log.Contains("register address 0x04009000 is not a DRAM controller register "
                   "(0x04008000 to 0x04008ffc, aligned to 4 bytes); nothing is sent"));
}

// Catches a wrong order of the exported addresses, a leaked interface, and
// one the controller keeps without using it (talking to another).
TEST(DramController, AddressesAndOwnership) {
  EXPECT_THAT(DramController::kAxiRegisterAddress,
              ElementsAre(0x040084ECu, 0x040084E8u, 0x040084F0u, 0x04008368u, 0x04008364u));
  auto r = std::make_shared<Recording>();
  {
    DramController controller(std::make_unique<RecordingSysFile>(r));
    controller.WriteRegister(0x040084F0, 0x100);
    EXPECT_THAT(Written(*r), ElementsAre("316;0x100"));
    EXPECT_FALSE(r->destroyed);
  }
  EXPECT_TRUE(r->destroyed);
}

// ---------------------------------------------------------------------------
// DramController with real files and with the simulated driver

// Catches bytes beyond the command in the driver's files.
TEST(DramController, RealFilesHoldTheBareCommand) {
  talon_testing::TempDir dir;
  std::string driver_dir = dir.path() + "/sys/kernel/zub_freq_cool";
  std::filesystem::create_directories(driver_dir);
  DramController controller(std::make_unique<talon_dramctl::PrefixedSysFile>(dir.path()));
  controller.WriteRegister(0x040084F0, 0x100);
  EXPECT_EQ(talon_testing::ReadFile(driver_dir + "/ddr_ctl_write"), "316;0x100");
  controller.DefaultSettings();
  EXPECT_EQ(talon_testing::ReadFile(driver_dir + "/ddr_ctl_write"), "217;0xff0b0000");
  // A plain file echoes the selection back: the read returns the index.
  EXPECT_EQ(controller.ReadRegister(0x040084EC), "315");
  EXPECT_EQ(talon_testing::ReadFile(driver_dir + "/ddr_ctl_read"), "315");
}

// Catches commands that a driver speaking the exact protocol would refuse,
// and settings that leave the registers wrong.
TEST(DramController, SettingsAgainstTheSimulatedDriver) {
  auto driver = std::make_unique<dram_sim::SimulatedDramDriver>();
  dram_sim::SimulatedDramDriver* sim = driver.get();
  DramController controller(std::move(driver));
  talon_testing::ScopedLogCapture log;
  controller.DefaultSettings();
  EXPECT_EQ(controller.ReadRegister(0x040084EC), "0x00000101");
  EXPECT_EQ(controller.ReadRegister(0x040084E8), "0x00000000");
  EXPECT_EQ(controller.ReadRegister(0x040084F0), "0x00010100");
  EXPECT_EQ(controller.ReadRegister(0x04008368), "0x010101ff");
  EXPECT_EQ(controller.ReadRegister(0x04008364), "0xff0b0000");
  controller.ContinuousCaptureSettings();
  uint32_t value = 0;
  ASSERT_TRUE(sim->GetRegister(314, &value));
  EXPECT_EQ(value, 0x01000000u);
  ASSERT_TRUE(sim->GetRegister(316, &value));
  EXPECT_EQ(value, 0x1u);
  ASSERT_TRUE(sim->GetRegister(217, &value));
  EXPECT_EQ(value, 0x000B0000u);
  controller.WriteRegister(0x04008FFC, 0xFFFFFFFF);
  EXPECT_EQ(controller.ReadRegister(0x04008FFC), "0xffffffff");
  EXPECT_THAT(log.Messages(), IsEmpty());
}

}  // namespace
}  // namespace vireo
