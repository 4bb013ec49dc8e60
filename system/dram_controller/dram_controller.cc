#include "system/dram_controller/dram_controller.h"

#include <fstream>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"

namespace vireo {
namespace {

using dram_controller::kReadFilePath;
using dram_controller::kWriteFilePath;

constexpr uint32_t kAxi0PriorityAddress = 0x040084EC;
constexpr uint32_t kAxi0EnableAddress = 0x040084E8;
constexpr uint32_t kAxi1Address = 0x040084F0;
constexpr uint32_t kCommandAgeCountAddress = 0x04008368;
constexpr uint32_t kAgeCountAddress = 0x04008364;

constexpr uint32_t kAxi0Enable = 0x01000000;
constexpr uint32_t kAxi1Enable = 0x1;
constexpr uint32_t kCommandAgeCountFixedBits = 0x01010100;
constexpr uint32_t kAgeCountFixedBits = 0x000B0000;

// `value` as the log writes addresses: "0x" and eight lower-case digits.
std::string Hex8(uint32_t value) { return absl::StrCat("0x", absl::Hex(value, absl::kZeroPad8)); }

// The register index of `address`, or false (logged) when the address lies
// outside the register block or is not aligned to a register.
bool RegisterIndex(uint32_t address, uint32_t* index) {
  constexpr uint32_t kFirst = DramController::kRegisterBlockFirst;
  constexpr uint32_t kLast = DramController::kRegisterBlockLast;
  if (address < kFirst || address > kLast || address % 4 != 0) {
    LOG(ERROR) << "Error: register address " << Hex8(address)
               << " is not a DRAM controller register (" << Hex8(kFirst) << " to " << Hex8(kLast)
               << ", aligned to 4 bytes); nothing is sent";
    return false;
  }
  *index = (address - kFirst) >> 2;
  return true;
}

// The register operations, reporting whether every register write succeeded,
// so that a sequence can stop at its first failure.
//
// The failures below, and those of ReadWriteSysFile and ReadRegister, are
// logged at ERROR with the text of a failed check ("Check failed: <condition>
// ...") and then handled: nothing aborts. The wording is deliberate, not a
// leftover CHECK: peers and log readers match on it, so keep it as it is.

bool TryWriteRegister(DramController& controller, uint32_t address, uint32_t value) {
  uint32_t index = 0;
  if (!RegisterIndex(address, &index)) return false;
  int err = controller.WriteSysFile(absl::StrCat(index, ";0x", absl::Hex(value)));
  if (err < 0) {
    LOG(ERROR) << "Check failed: err >= 0 "
               << "Error while writing register " << index << " with value: " << value
               << "; error code: " << err;
    return false;
  }
  return true;
}

bool TryWriteAxi0RWPriority(DramController& controller,
                            DramController::ReadWritePriorityValue read_priority,
                            DramController::ReadWritePriorityValue write_priority, bool enable) {
  // Port 0 stays disabled while its priorities change.
  if (!TryWriteRegister(controller, kAxi0EnableAddress, 0)) return false;
  uint32_t priorities =
      static_cast<uint32_t>(read_priority) | (static_cast<uint32_t>(write_priority) << 8);
  if (!TryWriteRegister(controller, kAxi0PriorityAddress, priorities)) return false;
  if (enable) return TryWriteRegister(controller, kAxi0EnableAddress, kAxi0Enable);
  return true;
}

bool TryWriteAxi1RWPriority(DramController& controller,
                            DramController::ReadWritePriorityValue read_priority,
                            DramController::ReadWritePriorityValue write_priority, bool enable) {
  uint32_t value =
      (static_cast<uint32_t>(write_priority) << 16) | (static_cast<uint32_t>(read_priority) << 8);
  // The priorities are written with the port disabled first.
  if (!TryWriteRegister(controller, kAxi1Address, value)) return false;
  if (enable) return TryWriteRegister(controller, kAxi1Address, value | kAxi1Enable);
  return true;
}

bool TryWriteCommandAgeCount(DramController& controller, uint32_t command_age_count) {
  if (command_age_count > DramController::kCommandAgeCountMaxValue) {
    LOG(ERROR) << "Check failed: command_age_count <= kCommandAgeCountMaxValue "
               << "Command age count " << command_age_count << " is above 255; nothing is written";
    return false;
  }
  return TryWriteRegister(controller, kCommandAgeCountAddress,
                          command_age_count | kCommandAgeCountFixedBits);
}

bool TryWriteAgeCount(DramController& controller, uint32_t age_count) {
  if (age_count > DramController::kAgeCountMaxValue) {
    LOG(ERROR) << "Check failed: age_count <= kAgeCountMaxValue "
               << "Age count " << age_count << " is above 255; nothing is written";
    return false;
  }
  return TryWriteRegister(controller, kAgeCountAddress, (age_count << 24) | kAgeCountFixedBits);
}

}  // namespace

SysFileInterface::~SysFileInterface() {}

int ReadWriteSysFile::Write(const std::string& path, const std::string& input) {
  std::ofstream fs(path, std::ios::out | std::ios::trunc);
  if (!fs.is_open()) {
    // "Check failed: " at ERROR, not fatal: peers rely on this text.
    LOG(ERROR) << "Check failed: fs.is_open() "
               << "Error: Couldn't open DRAM controller sys file: " << path << " for writing";
    return -1;
  }
  fs << input;
  // The text reaches the driver at the final flush; a command the driver
  // refuses fails there, so the close is part of the result.
  if (!fs.fail()) fs.close();
  if (fs.fail()) {
    LOG(ERROR) << "Error while writing sys file: " << path << " with input: " << input;
    return -1;
  }
  return 0;
}

int ReadWriteSysFile::Read(const std::string& path, std::string* output) {
  if (output == nullptr) {
    LOG(ERROR) << "Error while reading sys file: " << path << " (no output string)";
    return -1;
  }
  output->clear();
  std::ifstream fs(path, std::ios::in);
  if (!fs.is_open()) {
    // "Check failed: " at ERROR, not fatal: peers rely on this text.
    LOG(ERROR) << "Check failed: fs.is_open() "
               << "Error: Couldn't open DRAM controller sys file: " << path << " for reading";
    return -1;
  }
  std::getline(fs, *output);
  if (fs.fail()) {
    LOG(ERROR) << "Error while reading sys file: " << path;
    return -1;
  }
  return 0;
}

const uint32_t DramController::kAxiRegisterAddress[5] = {kAxi0PriorityAddress, kAxi0EnableAddress,
                                                         kAxi1Address, kCommandAgeCountAddress,
                                                         kAgeCountAddress};

DramController::DramController() : sys_file_(std::make_unique<ReadWriteSysFile>()) {}

DramController::DramController(std::unique_ptr<SysFileInterface> sys_file)
    : sys_file_(std::move(sys_file)) {}

DramController::~DramController() = default;

int DramController::WriteSysFile(const std::string& text) {
  int result = sys_file_->Write(kWriteFilePath, text);
  if (result < 0) {
    LOG(ERROR) << "Error: Couldn't write string: " << text
               << " to DRAM controller sys file: " << kWriteFilePath << "; error: " << result;
  }
  return result;
}

int DramController::ReadSysFile(const std::string& text, std::string* output) {
  int result = sys_file_->Write(kReadFilePath, text);
  if (result < 0) {
    LOG(ERROR) << "Error: Couldn't write string: " << text
               << " to DRAM controller sys file: " << kReadFilePath << "; error: " << result;
    return result;
  }
  result = sys_file_->Read(kReadFilePath, output);
  if (result < 0) {
    LOG(ERROR) << "Error: Couldn't read from DRAM controller sys file: " << kReadFilePath
               << "; error: " << result;
  }
  return result;
}

void DramController::WriteRegister(uint32_t address, uint32_t value) {
  TryWriteRegister(*this, address, value);
}

std::string DramController::ReadRegister(uint32_t address) {
  uint32_t index = 0;
  if (!RegisterIndex(address, &index)) return std::string();
  std::string result;
  int err = ReadSysFile(absl::StrCat(index), &result);
  if (err < 0) {
    // "Check failed: " at ERROR, not fatal: peers rely on this text.
    LOG(ERROR) << "Check failed: err >= 0 "
               << "Error while reading register " << index << "; error code: " << err;
    return std::string();
  }
  return result;
}

void DramController::WriteAxi0RWPriority(ReadWritePriorityValue read_priority,
                                         ReadWritePriorityValue write_priority, bool enable) {
  TryWriteAxi0RWPriority(*this, read_priority, write_priority, enable);
}

void DramController::WriteAxi1RWPriority(ReadWritePriorityValue read_priority,
                                         ReadWritePriorityValue write_priority, bool enable) {
  TryWriteAxi1RWPriority(*this, read_priority, write_priority, enable);
}

void DramController::WriteCommandAgeCount(uint32_t command_age_count) {
  TryWriteCommandAgeCount(*this, command_age_count);
}

void DramController::WriteAgeCount(uint32_t age_count) { TryWriteAgeCount(*this, age_count); }

void DramController::DefaultSettings() {
  // Each step relies on the one before it: stop at the first failure.
  if (!TryWriteAxi0RWPriority(*this, kPriorityLevel1, kPriorityLevel1, false)) return;
  if (!TryWriteAxi1RWPriority(*this, kPriorityLevel1, kPriorityLevel1, false)) return;
  if (!TryWriteCommandAgeCount(*this, 255)) return;
  TryWriteAgeCount(*this, 255);
}

void DramController::ContinuousCaptureSettings() {
  if (!TryWriteAxi0RWPriority(*this, kPriorityLevel0, kPriorityLevel0, true)) return;
  if (!TryWriteAxi1RWPriority(*this, kPriorityLevel0, kPriorityLevel0, true)) return;
  if (!TryWriteCommandAgeCount(*this, 255)) return;
  TryWriteAgeCount(*this, 0);
}

namespace dram_controller {

void DefaultSettings() {
  DramController controller;
  controller.DefaultSettings();
}

void ContinuousCaptureSettings() {
  DramController controller;
  controller.ContinuousCaptureSettings();
}

}  // namespace dram_controller
}  // namespace vireo
