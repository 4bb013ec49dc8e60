// The device's back end of talon-dramctl: the driver's sysfs files, or the
// same two files under --root DIR.

#include "tools/talon-dramctl/device_sys_files.h"
#include "tools/talon-dramctl/sys_file_back_end.h"

namespace talon_dramctl {

const std::vector<OptionSpec>& BackEndOptions() {
  static const std::vector<OptionSpec> kOptions = {{"--root", true}};
  return kOptions;
}

const char* BackEndSynopsis() { return "[--root DIR]"; }

const char* BackEndOptionsHelp() {
  return "  --root DIR      use DIR/sys/kernel/zub_freq_cool/ddr_ctl_{write,read}\n";
}

BackEndChoice ChooseBackEnd(const std::vector<Option>& options, BackEnd* back_end,
                            std::string* error) {
  const std::string root = options.empty() ? "" : options.front().value;  // only --root, once
  return ChooseDeviceSysFiles(root, back_end, error);
}

}  // namespace talon_dramctl
