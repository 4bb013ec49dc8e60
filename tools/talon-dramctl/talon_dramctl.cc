// talon-dramctl: applies the DRAM controller's settings, writes and reads its
// registers and shows the tuned ones, through libtalon's DramController.
//
// Three steps: the command line becomes a Command (dramctl_command.h), the
// back end's options choose the files the controller talks through
// (sys_file_back_end.h: the driver's sysfs files, a copy under --root DIR,
// and in host builds the simulated driver), and the command runs.
//
// Exit status: 0 on success, 1 when the driver refused or failed an exchange
// (libtalon logs the details), 2 for bad usage.

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/ascii.h"
#include "absl/strings/str_format.h"
#include "system/dram_controller/dram_controller.h"
#include "tools/talon-dramctl/dramctl_command.h"
#include "tools/talon-dramctl/sys_file_back_end.h"

namespace talon_dramctl {
namespace {

using vireo::DramController;
using vireo::SysFileInterface;

constexpr int kExitDriverError = 1;
constexpr int kExitUsage = 2;

std::string Usage() {
  return absl::StrFormat(
      "Usage: talon-dramctl %s COMMAND [ARGS]\n"
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
      "ADDRESS and VALUE are decimal or hexadecimal with 0x: an ADDRESS lies in the\n"
      "register block 0x%08x to 0x%08x and is aligned to 4 bytes, a VALUE is\n"
      "0 to 0xffffffff. Options come before the command.\n"
      "\n"
      "Options:\n"
      "%s"
      "  -h, --help      show this help\n",
      BackEndSynopsis(), DramController::kRegisterBlockFirst, DramController::kRegisterBlockLast,
      BackEndOptionsHelp());
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "talon-dramctl: %s\n", message.c_str());
  return kExitUsage;
}

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

// The fields of tuned register `i` (the order of kAxiRegisterAddress).
std::string Decode(int i, uint32_t v) {
  auto field = [v](int shift) { return std::to_string((v >> shift) & 0xFF); };
  switch (i) {
    case 0:  // port 0 priorities
      return "read priority " + field(0) + ", write priority " + field(8);
    case 1:  // port 0 enable
      return (v & 0x01000000) != 0 ? "enabled" : "disabled";
    case 2:  // port 1
      return "read priority " + field(8) + ", write priority " + field(16) + ", " +
             ((v & 1) != 0 ? "enabled" : "disabled");
    case 3:  // command age count
      return field(0);
    case 4:  // age count
      return field(24);
  }
  return "";
}

int Dump(DramController& controller, const bool& failed) {
  static const char* const kNames[5] = {"port 0 priorities", "port 0 enable", "port 1",
                                        "command age count", "age count"};
  int status = 0;
  for (int i = 0; i < 5; ++i) {
    const uint32_t address = DramController::kAxiRegisterAddress[i];
    const std::string line = controller.ReadRegister(address);
    if (failed) {
      std::printf("%-18s 0x%08x  (read failed)\n", kNames[i], address);
      return kExitDriverError;
    }
    // The driver's line: the value, with blanks around it tolerated.
    uint32_t value = 0;
    if (ParseU32(absl::StripAsciiWhitespace(line), &value) != NumberParse::kOk) {
      std::printf("%-18s 0x%08x  cannot parse the driver's line '%s'\n", kNames[i], address,
                  line.c_str());
      status = kExitDriverError;
      continue;
    }
    std::printf("%-18s 0x%08x = 0x%08x  %s\n", kNames[i], address, value, Decode(i, value).c_str());
  }
  return status;
}

int Execute(const Command& command, BackEnd back_end) {
  bool failed = false;
  DramController controller(
      std::make_unique<FailureNotingSysFile>(std::move(back_end.files), &failed));
  int status = 0;
  switch (command.action) {
    case Action::kHelp:
      break;
    case Action::kApply:
      if (command.setting == Setting::kDefault) {
        controller.DefaultSettings();
      } else {
        controller.ContinuousCaptureSettings();
      }
      break;
    case Action::kWrite:
      controller.WriteRegister(command.address, command.value);
      break;
    case Action::kRead: {
      const std::string line = controller.ReadRegister(command.address);
      if (!failed) std::printf("%s\n", line.c_str());
      break;
    }
    case Action::kDump:
      status = Dump(controller, failed);
      break;
  }
  if (failed) {
    const std::string detail = back_end.failure_detail ? back_end.failure_detail() : "";
    std::fprintf(stderr, "talon-dramctl: '%s' failed%s%s\n", command.word.c_str(),
                 detail.empty() ? "" : ": ", detail.c_str());
    return kExitDriverError;
  }
  return status;
}

int Run(int argc, char** argv) {
  Command command;
  std::string error;
  if (!ParseCommand(std::vector<std::string>(argv + 1, argv + argc), BackEndOptions(), &command,
                    &error)) {
    return UsageError(error);
  }
  if (command.action == Action::kHelp) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  BackEnd back_end;
  switch (ChooseBackEnd(command.back_end_options, &back_end, &error)) {
    case BackEndChoice::kOk:
      break;
    case BackEndChoice::kBadUsage:
      return UsageError(error + " (see --help)");
    case BackEndChoice::kBadValue:
      return UsageError(error);
    case BackEndChoice::kFailed:
      std::fprintf(stderr, "talon-dramctl: %s\n", error.c_str());
      return kExitDriverError;
  }
  return Execute(command, std::move(back_end));
}

}  // namespace
}  // namespace talon_dramctl

int main(int argc, char** argv) { return talon_dramctl::Run(argc, argv); }
