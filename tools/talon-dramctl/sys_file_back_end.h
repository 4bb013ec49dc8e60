// talon-dramctl's back end: the SysFileInterface that its DramController
// talks through, chosen by the back end's command-line options.
//
// A link-time seam: this header declares the back end and every build links
// exactly one definition of it:
//   tools/talon-dramctl/device_back_end.cc  the driver's sysfs files, or the
//                                           same two files under --root DIR;
//   host/talon_dramctl_back_end.cc          the same, and the simulated driver
//                                           with --simulate [--state FILE]
//                                           (host builds only).
//
// Threading: called from the tool's main thread only.
// Ownership: a BackEnd owns its file interface until the caller moves it
// into a DramController; `failure_detail` may refer to that interface, so it
// is called only while the interface lives.

#ifndef TOOLS_TALON_DRAMCTL_SYS_FILE_BACK_END_H_
#define TOOLS_TALON_DRAMCTL_SYS_FILE_BACK_END_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "system/dram_controller/dram_controller.h"
#include "tools/talon-dramctl/dramctl_command.h"

namespace talon_dramctl {

// The options this build's back end takes, for ParseCommand.
const std::vector<OptionSpec>& BackEndOptions();

// The back end's part of the usage text: the synopsis ("[--root DIR]") and
// one line per option, each ending in a newline.
const char* BackEndSynopsis();
const char* BackEndOptionsHelp();

struct BackEnd {
  std::unique_ptr<vireo::SysFileInterface> files;
  // Why the last refused exchange was refused, when the back end knows more
  // than libtalon logs; empty function or "" otherwise.
  std::function<std::string()> failure_detail;
};

enum class BackEndChoice {
  kOk,
  kBadUsage,  // options that do not go together
  kBadValue,  // an option's value cannot be used (a path that is not there)
  kFailed,    // the back end cannot be set up
};

// Builds the back end from the options ParseCommand collected. On anything
// but kOk, `error` holds a one-line reason.
BackEndChoice ChooseBackEnd(const std::vector<Option>& options, BackEnd* back_end,
                            std::string* error);

}  // namespace talon_dramctl

#endif  // TOOLS_TALON_DRAMCTL_SYS_FILE_BACK_END_H_
