// The driver's own files for talon-dramctl: the sysfs files themselves, or
// the same two paths under a root directory (--root DIR), for a copy of the
// files elsewhere. PrefixedSysFile puts every path under the root and
// forwards to ReadWriteSysFile.
//
// Threading: as ReadWriteSysFile (no state but the root). Header-only; the
// binary links libtalon for ReadWriteSysFile.
// Ownership: OpenDeviceSysFiles's caller owns the interface it returns.

#ifndef TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_
#define TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_

#include <memory>
#include <string>
#include <utility>

#include "system/dram_controller/dram_controller.h"

namespace talon_dramctl {

class PrefixedSysFile : public vireo::SysFileInterface {
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
  vireo::ReadWriteSysFile files_;
};

// The sysfs files when `root` is empty, else the files under `root`.
inline std::unique_ptr<vireo::SysFileInterface> OpenDeviceSysFiles(const std::string& root) {
  if (root.empty()) return std::make_unique<vireo::ReadWriteSysFile>();
  return std::make_unique<PrefixedSysFile>(root);
}

}  // namespace talon_dramctl

#endif  // TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_
