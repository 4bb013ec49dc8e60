// Fuzzes the simulated DRAM-controller driver's write-file command parser.
//
// A fresh driver (every register zero) receives the input as one command to
// its write file. It must accept exactly "<index>;0x<value>" (index 0 to 1023
// in decimal, value in lower-case hexadecimal of at most 8 digits, neither
// with leading zeros, nothing around them) and then hold the value in that
// register and nowhere else; anything else is refused with a reason and
// changes no register. The same text written to the read file must select a
// register exactly when it is a valid index.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "fuzz/fuzz_check.h"
#include "host/dram_driver/dram_driver_sim.h"

namespace {

using vireo::dram_sim::kReadFilePath;
using vireo::dram_sim::kRegisterCount;
using vireo::dram_sim::kWriteFilePath;
using vireo::dram_sim::SimulatedDramDriver;

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("dram_driver_fuzzer", what); }

bool IsDigit(char c, int base) {
  return (c >= '0' && c <= '9') || (base == 16 && c >= 'a' && c <= 'f');
}

// A number of 1 to `max_digits` digits without leading zeros, or nothing.
std::optional<uint64_t> Number(const std::string& text, int base, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c, base)) return std::nullopt;
    value = value * base + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return value;
}

std::optional<uint32_t> Index(const std::string& text) {
  std::optional<uint64_t> index = Number(text, 10, 4);
  if (!index.has_value() || *index >= kRegisterCount) return std::nullopt;
  return static_cast<uint32_t>(*index);
}

// The register command `text` stands for, if it is one.
struct Command {
  uint32_t index;
  uint32_t value;
};
std::optional<Command> ParseCommand(const std::string& text) {
  const size_t separator = text.find(';');
  if (separator == std::string::npos || text.compare(separator, 3, ";0x") != 0) {
    return std::nullopt;
  }
  std::optional<uint32_t> index = Index(text.substr(0, separator));
  std::optional<uint64_t> value = Number(text.substr(separator + 3), 16, 8);
  if (!index.has_value() || !value.has_value()) return std::nullopt;
  return Command{*index, static_cast<uint32_t>(*value)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<Command> expected = ParseCommand(text);

  SimulatedDramDriver driver;
  const int result = driver.Write(kWriteFilePath, text);
  if (expected.has_value() != (result == 0)) {
    Fail(result == 0 ? "accepted a malformed command" : "refused a well-formed command");
  }
  if (result != 0 && driver.LastError().empty()) Fail("refused without a reason");
  for (uint32_t i = 0; i < kRegisterCount; ++i) {
    uint32_t value = 0;
    if (!driver.GetRegister(i, &value)) Fail("a register cannot be read");
    const uint32_t want = expected.has_value() && expected->index == i ? expected->value : 0;
    if (value != want) Fail("a register does not hold what the command wrote");
  }

  // The read file's selection takes the index alone.
  const std::optional<uint32_t> index = Index(text);
  if (index.has_value() != (driver.Write(kReadFilePath, text) == 0)) {
    Fail("the read file's selection disagrees with the index syntax");
  }
  std::string line;
  const int read = driver.Read(kReadFilePath, &line);
  if (index.has_value() != (read == 0)) Fail("read without a selected register");
  if (read == 0) {
    const uint32_t value = expected.has_value() && expected->index == *index ? expected->value : 0;
    char want[16];
    std::snprintf(want, sizeof(want), "0x%08x", value);
    if (line != want) Fail("the read file gives another value than the register holds");
  }
  return 0;
}
