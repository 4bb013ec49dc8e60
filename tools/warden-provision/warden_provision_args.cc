#include "tools/warden-provision/warden_provision_args.h"

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "support/command_line.h"

namespace warden_provision {

const char kUsage[] =
    "Usage: warden-provision COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  collect               print the device identity\n"
    "  generate [--out FILE] collect the identity, generate the provisioning\n"
    "                        message and print its device id and nonce; with\n"
    "                        --out (or --out=FILE), also write the message's\n"
    "                        48 bytes to FILE, a file in an existing directory\n"
    "                        that the tool may write (replaced as a whole, or\n"
    "                        left as it was on failure)\n"
    "  parse FILE            check a received message (48 to 288 bytes) and\n"
    "                        print its device id and nonce\n"
    "  --help                show this text\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 bad command line (or,\n"
    "off the device, a SIM_PROPERTIES file that cannot be read).\n"
    "Off the device, SIM_PROPERTIES and SIM_MODEM configure the stand-ins.\n";

bool ParseArgs(const std::vector<std::string>& args, Invocation* invocation, std::string* error) {
  if (args.empty()) {
    *error = "no command given (see --help)";
    return false;
  }
  // The command word, then its own options and arguments.
  const std::string& command = args[0];
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Invocation parsed;
  bool help = false;
  std::vector<talon_support::OptionSpec> specs = {talon_support::FlagOption("--help", "-h", &help)};
  std::vector<std::string> files;
  std::vector<std::string>* positional = nullptr;
  if (command == "--help" || command == "-h" || command == "help") {
    help = true;
  } else if (command == "collect") {
    parsed.command = Command::kCollect;
  } else if (command == "generate") {
    parsed.command = Command::kGenerate;
    specs.push_back(talon_support::StringOption("--out", &parsed.path));
  } else if (command == "parse") {
    parsed.command = Command::kParse;
    positional = &files;
  } else {
    *error = absl::StrCat("unknown command '", absl::CHexEscape(command), "' (see --help)");
    return false;
  }
  if (!help && !talon_support::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), specs,
                                                positional, error)) {
    *error = absl::StrCat(command, ": ", *error);
    return false;
  }
  if (help) {
    *invocation = Invocation();
    return true;
  }
  if (parsed.command == Command::kParse) {
    if (files.size() != 1 || files[0].empty()) {
      *error = "parse takes one FILE";
      return false;
    }
    parsed.path = files[0];
  }
  *invocation = parsed;
  return true;
}

}  // namespace warden_provision
