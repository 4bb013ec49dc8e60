// talon-dramctl's back end in host builds: the driver's files as on the
// device (the sysfs files, or --root DIR), or the simulated driver
// (--simulate), whose registers persist in a state file (--state FILE, by
// default the per-user file of vireo::dram_sim::DefaultStatePath).

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/dram_driver/dram_driver_sim.h"
#include "tools/talon-dramctl/device_sys_files.h"
#include "tools/talon-dramctl/sys_file_back_end.h"

namespace talon_dramctl {

const std::vector<OptionSpec>& BackEndOptions() {
  static const std::vector<OptionSpec> kOptions = {
      {"--root", true}, {"--simulate", false}, {"--state", true}};
  return kOptions;
}

const char* BackEndSynopsis() { return "[--root DIR | --simulate [--state FILE]]"; }

const char* BackEndOptionsHelp() {
  return "  --root DIR      use DIR/sys/kernel/zub_freq_cool/ddr_ctl_{write,read}\n"
         "  --simulate      use the simulated driver instead of the sysfs files\n"
         "  --state FILE    the simulated driver's register file (default:\n"
         "                  $XDG_RUNTIME_DIR/talon-dramctl.state, or\n"
         "                  ~/.cache/talon-dramctl/state)\n";
}

BackEndChoice ChooseBackEnd(const std::vector<Option>& options, BackEnd* back_end,
                            std::string* error) {
  std::string root;
  std::string state_path;
  bool have_root = false;
  bool simulate = false;
  for (const Option& option : options) {  // each at most once
    if (option.name == "--root") {
      root = option.value;
      have_root = true;
    } else if (option.name == "--simulate") {
      simulate = true;
    } else if (option.name == "--state") {
      state_path = option.value;
    }
  }
  if (have_root && simulate) {
    *error = "--root and --simulate exclude each other";
    return BackEndChoice::kBadUsage;
  }
  if (!state_path.empty() && !simulate) {
    *error = "--state needs --simulate";
    return BackEndChoice::kBadUsage;
  }
  if (!simulate) return ChooseDeviceSysFiles(root, back_end, error);
  const bool default_state = state_path.empty();
  if (default_state && !vireo::dram_sim::DefaultStatePath(&state_path, error)) {
    return BackEndChoice::kFailed;
  }
  auto driver = std::make_unique<vireo::dram_sim::SimulatedDramDriver>(state_path);
  vireo::dram_sim::SimulatedDramDriver* simulated = driver.get();
  // A state file that cannot be used is said before any register moves.
  if (std::string problem; !simulated->CheckState(&problem)) {
    if (default_state) {
      *error = "simulated driver: " + problem;
      return BackEndChoice::kFailed;
    }
    *error = OneLine("--state " + state_path + ": " + problem);  // one line
    return BackEndChoice::kBadValue;
  }
  back_end->failure_detail = [simulated] {
    const std::string reason = simulated->LastError();
    return reason.empty() ? reason : "simulated driver: " + reason;
  };
  back_end->files = std::move(driver);
  return BackEndChoice::kOk;
}

}  // namespace talon_dramctl
