// warden-provision's command line turned into what to do. Separate from the
// tool's main so that it can be tested and fuzzed without a device.
//
// Plain functions and values; no state, callable from any thread.

#ifndef TOOLS_WARDEN_PROVISION_WARDEN_PROVISION_ARGS_H_
#define TOOLS_WARDEN_PROVISION_WARDEN_PROVISION_ARGS_H_

#include <string>
#include <vector>

namespace warden_provision {

enum class Command { kHelp, kCollect, kGenerate, kParse };

struct Invocation {
  Command command = Command::kHelp;
  std::string path;  // kGenerate: the --out FILE, "" for none; kParse: the FILE
};

// The text printed by --help.
extern const char kUsage[];

// Parses the arguments after the program name. True with `invocation`
// filled; false with a one-line reason in `error` (arguments quoted in it
// are escaped, so it stays one line).
bool ParseArgs(const std::vector<std::string>& args, Invocation* invocation, std::string* error);

}  // namespace warden_provision

#endif  // TOOLS_WARDEN_PROVISION_WARDEN_PROVISION_ARGS_H_
