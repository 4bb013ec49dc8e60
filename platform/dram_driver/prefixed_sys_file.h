// The driver's two sysfs paths under a root directory, for tests that run
// the DRAM controller against ordinary files. The class lives with
// talon-dramctl, whose --root option it serves; this name is kept for the
// controller's tests.

#ifndef PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_
#define PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_

#include "tools/talon-dramctl/device_sys_files.h"

namespace vireo {
namespace dram_sim {

using PrefixedSysFile = talon_dramctl::PrefixedSysFile;

}  // namespace dram_sim
}  // namespace vireo

#endif  // PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_
