#include "platform/dram_driver/dram_driver_sim.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"

namespace vireo {
namespace dram_sim {
namespace {

// Digits of `text` in `base` (10 or 16, lower case only) without leading
// zeros, at most `max_digits` of them; false for anything else.
bool ParseNumber(const std::string& text, int base, size_t max_digits, uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  uint64_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
  }
  if (v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseIndex(const std::string& text, uint32_t* index) {
  return ParseNumber(text, 10, 4, index) && *index < kRegisterCount;
}

}  // namespace

SimulatedDramDriver::SimulatedDramDriver() = default;

SimulatedDramDriver::SimulatedDramDriver(std::string state_path)
    : state_path_(std::move(state_path)) {}

SimulatedDramDriver::~SimulatedDramDriver() = default;

int SimulatedDramDriver::Write(const std::string& path, const std::string& input) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_.clear();
  if (path == kReadFilePath) {
    uint32_t index = 0;
    if (!ParseIndex(input, &index)) {
      Fail(absl::StrCat("malformed register index \"", input, "\""));
      return -1;
    }
    selected_ = index;
    return 0;
  }
  if (path != kWriteFilePath) {
    Fail(absl::StrCat("no such driver file: ", path));
    return -1;
  }
  size_t separator = input.find(";0x");
  uint32_t index = 0;
  uint32_t value = 0;
  if (separator == std::string::npos || !ParseIndex(input.substr(0, separator), &index) ||
      !ParseNumber(input.substr(separator + 3), 16, 8, &value)) {
    Fail(absl::StrCat("malformed register command \"", input, "\""));
    return -1;
  }
  if (!LoadState()) return -1;
  registers_[index] = value;
  if (!SaveState()) return -1;
  return 0;
}

int SimulatedDramDriver::Read(const std::string& path, std::string* output) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_.clear();
  if (output != nullptr) output->clear();
  if (path != kReadFilePath || output == nullptr) {
    Fail(absl::StrCat("cannot read driver file: ", path));
    return -1;
  }
  if (!selected_.has_value()) {
    Fail("no register selected for reading");
    return -1;
  }
  if (!LoadState()) return -1;
  *output = absl::StrFormat("0x%08x", registers_[*selected_]);
  return 0;
}

bool SimulatedDramDriver::GetRegister(uint32_t index, uint32_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= kRegisterCount) return Fail(absl::StrCat("no register ", index));
  if (!LoadState()) return false;
  *value = registers_[index];
  return true;
}

std::string SimulatedDramDriver::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

bool SimulatedDramDriver::Fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}

// The state file holds one line "<index> 0x<value>" per register that is not
// zero.
bool SimulatedDramDriver::LoadState() {
  if (state_path_.empty()) return true;
  std::ifstream in(state_path_);
  if (!in.is_open()) {
    if (errno == ENOENT) {
      registers_.fill(0);
      return true;
    }
    return Fail(absl::StrCat("cannot open state file ", state_path_, ": ",
                             std::strerror(errno)));
  }
  std::array<uint32_t, kRegisterCount> registers{};
  std::string line;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    size_t space = line.find(" 0x");
    uint32_t index = 0;
    uint32_t value = 0;
    if (space == std::string::npos || !ParseIndex(line.substr(0, space), &index) ||
        line.size() != space + 3 + 8) {
      return Fail(absl::StrCat("state file ", state_path_, " line ", line_number,
                               " is malformed"));
    }
    std::string digits = line.substr(space + 3);
    size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    if (!ParseNumber(digits, 16, 8, &value)) {
      return Fail(absl::StrCat("state file ", state_path_, " line ", line_number,
                               " is malformed"));
    }
    registers[index] = value;
  }
  if (in.bad()) {
    return Fail(absl::StrCat("cannot read state file ", state_path_));
  }
  registers_ = registers;
  return true;
}

bool SimulatedDramDriver::SaveState() {
  if (state_path_.empty()) return true;
  std::string temporary = absl::StrCat(state_path_, ".tmp.", getpid());
  {
    std::ofstream out(temporary, std::ios::out | std::ios::trunc);
    for (uint32_t i = 0; i < kRegisterCount && out.is_open(); ++i) {
      if (registers_[i] != 0) out << absl::StrFormat("%u 0x%08x\n", i, registers_[i]);
    }
    if (out.is_open()) out.close();
    if (out.fail()) {
      std::remove(temporary.c_str());
      return Fail(absl::StrCat("cannot write state file ", temporary));
    }
  }
  if (std::rename(temporary.c_str(), state_path_.c_str()) != 0) {
    int error = errno;
    std::remove(temporary.c_str());
    return Fail(absl::StrCat("cannot replace state file ", state_path_, ": ",
                             std::strerror(error)));
  }
  return true;
}

}  // namespace dram_sim
}  // namespace vireo
