// talon-dramctl: applies the DRAM controller's settings, writes and reads its
// registers and shows the tuned ones, through libtalon's DramController.
//
// By default it talks to the driver's sysfs files. --root DIR puts those two
// paths under DIR (for a copy of the files elsewhere); --simulate talks to the
// simulated driver instead, whose registers live in a state file so that one
// run sees what an earlier run set.
//
// Exit status: 0 on success, 1 when the driver refused or failed an exchange
// (libtalon logs the details), 2 for bad usage.

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dram_driver/dram_driver_sim.h"
#include "platform/dram_driver/prefixed_sys_file.h"
#include "system/dram_controller/dram_controller.h"

namespace {

using vireo::DramController;
using vireo::SysFileInterface;

constexpr char kUsage[] =
    "Usage: talon-dramctl [--root DIR | --simulate [--state FILE]] COMMAND [ARGS]\n"
    "\n"
    "Tunes the IPU's DRAM controller through its driver's sysfs files.\n"
    "\n"
    "Commands:\n"
    "  default                 apply the default setting\n"
    "  continuous-capture      apply the setting for continuous capture\n"
    "  apply SETTING           apply SETTING (default or continuous-capture)\n"
    "  write ADDRESS VALUE     write VALUE (32 bits) into the register at ADDRESS\n"
    "  read ADDRESS            print the driver's line for the register at ADDRESS\n"
    "  dump                    show the five tuned registers with their fields\n"
    "\n"
    "ADDRESS and VALUE are decimal or hexadecimal with 0x; addresses lie in the\n"
    "register block 0x04008000 to 0x04008ffc and are aligned to 4 bytes.\n"
    "\n"
    "Options:\n"
    "  --root DIR      use DIR/sys/kernel/zub_freq_cool/ddr_ctl_{write,read}\n"
    "  --simulate      use the simulated driver instead of the sysfs files\n"
    "  --state FILE    the simulated driver's register file (default:\n"
    "                  $XDG_RUNTIME_DIR/talon-dramctl.state, or\n"
    "                  /tmp/talon-dramctl-<uid>.state)\n"
    "  -h, --help      show this help\n";

constexpr int kExitDriverError = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kBlockFirst = 0x04008000;
constexpr uint32_t kBlockLast = 0x04008FFC;


// Forwards to another interface and notes whether any call failed, since the
// controller's register operations return nothing.
class FailureNotingSysFile : public SysFileInterface {
 public:
  FailureNotingSysFile(std::unique_ptr<SysFileInterface> inner, bool* failed)
      : inner_(std::move(inner)), failed_(failed) {}
  int Write(const std::string& path, const std::string& input) override {
    return Note(inner_->Write(path, input));
  }
  int Read(const std::string& path, std::string* output) override {
    return Note(inner_->Read(path, output));
  }

 private:
  int Note(int result) {
    if (result < 0) *failed_ = true;
    return result;
  }
  std::unique_ptr<SysFileInterface> inner_;
  bool* failed_;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "talon-dramctl: %s (see --help)\n", message.c_str());
  return kExitUsage;
}

// Decimal, or hexadecimal with 0x; no sign, no blanks, at most 32 bits.
enum class Parse { kOk, kMalformed, kTooLarge };
Parse ParseU32(const std::string& text, uint32_t* value) {
  int base = 10;
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty()) return Parse::kMalformed;
  for (char c : digits) {
    bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                         : (c >= '0' && c <= '9');
    if (!ok) return Parse::kMalformed;
  }
  errno = 0;
  unsigned long long v = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE || v > UINT32_MAX) return Parse::kTooLarge;
  *value = static_cast<uint32_t>(v);
  return Parse::kOk;
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08" PRIx32, value);
  return text;
}

// Checks an ADDRESS argument; prints the problem and returns false if bad.
bool ParseAddress(const std::string& text, uint32_t* address) {
  Parse result = ParseU32(text, address);
  if (result != Parse::kOk) {
    UsageError("malformed address '" + text + "'");
    return false;
  }
  if (*address < kBlockFirst || *address > kBlockLast) {
    UsageError("address " + Hex8(*address) +
               " is outside the DRAM controller's registers (0x04008000 to 0x04008ffc)");
    return false;
  }
  if (*address % 4 != 0) {
    UsageError("address " + Hex8(*address) + " is not aligned to 4 bytes");
    return false;
  }
  return true;
}

// The driver's line for a register: hexadecimal with 0x, or decimal, with
// blanks around it tolerated.
bool ParseDriverLine(const std::string& line, uint32_t* value) {
  size_t first = line.find_first_not_of(" \t\r");
  size_t last = line.find_last_not_of(" \t\r");
  if (first == std::string::npos) return false;
  return ParseU32(line.substr(first, last - first + 1), value) == Parse::kOk;
}

std::string Decode(uint32_t address, uint32_t v) {
  auto field = [v](int shift) { return std::to_string((v >> shift) & 0xFF); };
  switch (address) {
    case 0x040084EC:
      return "read priority " + field(0) + ", write priority " + field(8);
    case 0x040084E8:
      return (v & 0x01000000) != 0 ? "enabled" : "disabled";
    case 0x040084F0:
      return "read priority " + field(8) + ", write priority " + field(16) + ", " +
             ((v & 1) != 0 ? "enabled" : "disabled");
    case 0x04008368:
      return field(0);
    case 0x04008364:
      return field(24);
  }
  return "";
}

int Dump(DramController& controller, const bool& failed) {
  static const char* const kNames[5] = {"port 0 priorities", "port 0 enable", "port 1",
                                        "command age count", "age count"};
  int status = 0;
  for (int i = 0; i < 5; ++i) {
    uint32_t address = DramController::kAxiRegisterAddress[i];
    std::string line = controller.ReadRegister(address);
    uint32_t value = 0;
    if (failed) {
      std::printf("%-18s %s  (read failed)\n", kNames[i], Hex8(address).c_str());
      return kExitDriverError;
    }
    if (!ParseDriverLine(line, &value)) {
      std::printf("%-18s %s  cannot parse the driver's line '%s'\n", kNames[i],
                  Hex8(address).c_str(), line.c_str());
      status = kExitDriverError;
      continue;
    }
    std::printf("%-18s %s = %s  %s\n", kNames[i], Hex8(address).c_str(),
                Hex8(value).c_str(), Decode(address, value).c_str());
  }
  return status;
}

std::string DefaultStatePath() {
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') {
    return std::string(runtime_dir) + "/talon-dramctl.state";
  }
  return "/tmp/talon-dramctl-" + std::to_string(getuid()) + ".state";
}

int Run(int argc, char** argv) {
  std::string root;
  bool have_root = false;
  bool simulate = false;
  std::string state_path;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!words.empty()) {
      words.push_back(arg);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--root" || arg == "--state") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return UsageError(arg + " needs a value");
      (arg == "--root" ? root : state_path) = argv[++i];
      if (arg == "--root") have_root = true;
    } else if (arg == "--simulate") {
      simulate = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option '" + arg + "'");
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return UsageError("no command given");
  if (have_root && simulate) return UsageError("--root and --simulate exclude each other");
  if (!state_path.empty() && !simulate) return UsageError("--state needs --simulate");

  const std::string& command = words[0];
  const std::vector<std::string> args(words.begin() + 1, words.end());
  auto expect_args = [&](size_t n) {
    if (args.size() == n) return true;
    UsageError("'" + command + "' takes " + std::to_string(n) + " argument" +
               (n == 1 ? "" : "s"));
    return false;
  };

  // Check the command and its arguments before touching the driver.
  std::string setting;
  uint32_t address = 0;
  uint32_t value = 0;
  if (command == "default" || command == "continuous-capture") {
    if (!expect_args(0)) return kExitUsage;
    setting = command;
  } else if (command == "apply") {
    if (!expect_args(1)) return kExitUsage;
    setting = args[0];
    if (setting != "default" && setting != "continuous-capture") {
      return UsageError("unknown setting '" + setting +
                        "' (default or continuous-capture)");
    }
  } else if (command == "write") {
    if (!expect_args(2) || !ParseAddress(args[0], &address)) return kExitUsage;
    Parse parsed = ParseU32(args[1], &value);
    if (parsed == Parse::kMalformed) return UsageError("malformed value '" + args[1] + "'");
    if (parsed == Parse::kTooLarge) {
      return UsageError("value '" + args[1] + "' does not fit in 32 bits");
    }
  } else if (command == "read") {
    if (!expect_args(1) || !ParseAddress(args[0], &address)) return kExitUsage;
  } else if (command == "dump") {
    if (!expect_args(0)) return kExitUsage;
  } else {
    return UsageError("unknown command '" + command + "'");
  }

  bool failed = false;
  std::unique_ptr<SysFileInterface> files;
  vireo::dram_sim::SimulatedDramDriver* simulated = nullptr;
  if (simulate) {
    auto driver = std::make_unique<vireo::dram_sim::SimulatedDramDriver>(
        state_path.empty() ? DefaultStatePath() : state_path);
    simulated = driver.get();
    files = std::move(driver);
  } else if (have_root) {
    files = std::make_unique<vireo::dram_sim::PrefixedSysFile>(root);
  } else {
    files = std::make_unique<vireo::ReadWriteSysFile>();
  }
  DramController controller(
      std::make_unique<FailureNotingSysFile>(std::move(files), &failed));

  int status = 0;
  if (!setting.empty()) {
    if (setting == "default") {
      controller.DefaultSettings();
    } else {
      controller.ContinuousCaptureSettings();
    }
  } else if (command == "write") {
    controller.WriteRegister(address, value);
  } else if (command == "read") {
    std::string line = controller.ReadRegister(address);
    if (!failed) std::printf("%s\n", line.c_str());
  } else {
    status = Dump(controller, failed);
  }
  if (failed) {
    std::string reason = simulated != nullptr ? simulated->LastError() : "";
    std::fprintf(stderr, "talon-dramctl: '%s' failed%s%s\n", command.c_str(),
                 reason.empty() ? "" : ": simulated driver: ", reason.c_str());
    return kExitDriverError;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
