// Fuzzes the command-line parsers of the three tools: talon-cam's
// ParseOptions, talon-dramctl's ParseCommand (with the options of the host's
// back end, a superset of the device's) and warden-provision's ParseArgs.
//
// The input is split at NUL bytes into the arguments after the program name.
// Each parser must return, never crash or throw, and either accept or give a
// reason in one line; what talon-cam accepts is a configuration the library
// takes, and what talon-dramctl accepts is a register inside the block,
// aligned.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"
#include "fuzz/fuzz_check.h"
#include "support/options.h"
#include "system/dram_controller/dram_controller.h"
#include "tools/talon-cam/talon_cam_options.h"
#include "tools/talon-dramctl/dramctl_command.h"
#include "tools/warden-provision/warden_provision_args.h"

namespace {

constexpr size_t kMaxInputBytes = 4096;

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("command_line_fuzzer", what); }

void CheckReason(const std::string& error) {
  if (error.empty()) Fail("refused without a reason");
  if (error.find('\n') != std::string::npos) Fail("a reason of several lines");
}

void TalonCam(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"talon-cam"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  talon_cam::Options options;
  std::string error;
  if (!talon_cam::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error)) {
    CheckReason(error);
    return;
  }
  if (options.help) return;
  if (options.config.stream_configs.empty()) Fail("talon-cam accepted no stream");
  if (!talon_support::CheckConfig(options.config, &error)) {
    Fail("talon-cam accepted a configuration the library refuses");
  }
  // A DNG file holds one frame of one stream.
  if (!options.dng_pattern.empty() && options.dng_pattern.find('#') == std::string::npos &&
      (options.frames != 1 || options.config.stream_configs.size() != 1)) {
    Fail("talon-cam accepted a DNG name that several frames would overwrite");
  }
}

void TalonDramctl(const std::vector<std::string>& args) {
  static const std::vector<talon_dramctl::OptionSpec> kHostOptions = {
      {"--root", true}, {"--simulate", false}, {"--state", true}};
  talon_dramctl::Command command;
  std::string error;
  if (!talon_dramctl::ParseCommand(args, kHostOptions, &command, &error)) {
    CheckReason(error);
    return;
  }
  using talon_dramctl::Action;
  if (command.action == Action::kWrite || command.action == Action::kRead) {
    if (command.address < vireo::DramController::kRegisterBlockFirst ||
        command.address > vireo::DramController::kRegisterBlockLast || command.address % 4 != 0) {
      Fail("talon-dramctl accepted an address that is no register");
    }
  }
}

void WardenProvision(const std::vector<std::string>& args) {
  warden_provision::Invocation invocation;
  std::string error;
  if (!warden_provision::ParseArgs(args, &invocation, &error)) {
    CheckReason(error);
    return;
  }
  if (invocation.command == warden_provision::Command::kParse && invocation.path.empty()) {
    Fail("warden-provision accepted parse without a file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInputBytes) return 0;
  std::vector<std::string> args;
  if (size > 0) {
    args = absl::StrSplit(absl::string_view(reinterpret_cast<const char*>(data), size), '\0');
  }
  TalonCam(args);
  TalonDramctl(args);
  WardenProvision(args);
  return 0;
}
