// A SysFileInterface that puts every path under a root directory and
// forwards to ReadWriteSysFile, so that the driver's two sysfs paths can be
// ordinary files elsewhere (talon-dramctl --root, tests).
//
// Threading: as ReadWriteSysFile (no state but the root). Header-only; the
// binary links libtalon for ReadWriteSysFile.

#ifndef PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_
#define PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_

#include <string>
#include <utility>

#include "system/dram_controller/dram_controller.h"

namespace vireo {
namespace dram_sim {

class PrefixedSysFile : public SysFileInterface {
 public:
  explicit PrefixedSysFile(std::string root) : root_(std::move(root)) {}
  int Write(const std::string& path, const std::string& input) override {
    return files_.Write(root_ + path, input);
  }
  int Read(const std::string& path, std::string* output) override {
    return files_.Read(root_ + path, output);
  }

 private:
  std::string root_;
  ReadWriteSysFile files_;
};

}  // namespace dram_sim
}  // namespace vireo

#endif  // PLATFORM_DRAM_DRIVER_PREFIXED_SYS_FILE_H_
