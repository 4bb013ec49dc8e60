#include "tools/warden-provision/warden_provision_args.h"

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"

namespace warden_provision {

const char kUsage[] =
    "Usage: warden-provision COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  collect               print the device identity\n"
    "  generate [--out FILE] collect the identity, generate the provisioning\n"
    "                        message and print its device id and nonce; with\n"
    "                        --out, also write the message's 48 bytes to FILE\n"
    "                        (replaced as a whole, or left as it was on failure)\n"
    "  parse FILE            check a received message (48 to 288 bytes) and\n"
    "                        print its device id and nonce\n"
    "  --help                show this text\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 bad command line.\n"
    "Off the device, SIM_PROPERTIES and SIM_MODEM configure the stand-ins.\n";

bool ParseArgs(const std::vector<std::string>& args, Invocation* invocation,
               std::string* error) {
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  Invocation parsed;
  if (command == "--help" || command == "-h" || command == "help") {
    parsed.command = Command::kHelp;
  } else if (command == "collect") {
    parsed.command = Command::kCollect;
    if (args.size() != 1) {
      *error = "collect takes no arguments";
      return false;
    }
  } else if (command == "generate") {
    parsed.command = Command::kGenerate;
    if (args.size() == 3 && args[1] == "--out" && !args[2].empty()) {
      parsed.path = args[2];
    } else if (args.size() != 1) {
      *error = "generate takes only --out FILE";
      return false;
    }
  } else if (command == "parse") {
    parsed.command = Command::kParse;
    if (args.size() != 2 || args[1].empty()) {
      *error = "parse takes one FILE";
      return false;
    }
    parsed.path = args[1];
  } else {
    *error = absl::StrCat("unknown command '", absl::CHexEscape(command), "'");
    return false;
  }
  *invocation = parsed;
  return true;
}

}  // namespace warden_provision
