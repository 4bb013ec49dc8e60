// The driver's own files for talon-dramctl: the sysfs files themselves, or
// the same two paths under a root directory (--root DIR), for a copy of the
// files elsewhere. PrefixedSysFile puts every path under the root and
// forwards to ReadWriteSysFile. ChooseDeviceSysFiles, the back end of every
// build without --simulate, first makes sure that the controller can use the
// files, so that a wrong --root is said once before anything is read or
// written.
//
// Threading: as ReadWriteSysFile (no state but the root). Header-only; the
// binary links libtalon for ReadWriteSysFile.
// Ownership: OpenDeviceSysFiles's caller owns the interface it returns.

#ifndef TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_
#define TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "system/dram_controller/dram_controller.h"
#include "tools/talon-dramctl/sys_file_back_end.h"

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

// Why the controller could not use the driver's files under `root` ("" for
// the sysfs files themselves): "" when it can, else "<path>: <reason>". The
// controller writes the write file, and writes then reads the read file; a
// file that is missing is made by the first write where its directory takes
// new files (a copy under a root starts empty).
inline std::string DeviceSysFilesProblem(const std::string& root) {
  const struct {
    const char* path;
    int mode;
  } kFiles[] = {{vireo::dram_controller::kWriteFilePath, W_OK},
                {vireo::dram_controller::kReadFilePath, R_OK | W_OK}};
  for (const auto& file : kFiles) {
    const std::string path = root + file.path;
    if (access(path.c_str(), file.mode) == 0) continue;
    const int error = errno;
    const std::string dir = path.substr(0, path.rfind('/'));
    if (error == ENOENT && access(dir.c_str(), W_OK | X_OK) == 0) continue;
    // A missing directory is the problem to name, not the file in it.
    if (error == ENOENT && access(dir.c_str(), F_OK) != 0) {
      return dir + ": " + std::strerror(errno);
    }
    return path + ": " + std::strerror(error);
  }
  return "";
}

// The files under `root` as the back end when the controller can use them;
// else kBadValue naming --root, or kFailed for the sysfs files themselves,
// with the path and the reason in `error`.
inline BackEndChoice ChooseDeviceSysFiles(const std::string& root, BackEnd* back_end,
                                          std::string* error) {
  const std::string problem = DeviceSysFilesProblem(root);
  if (problem.empty()) {
    back_end->files = OpenDeviceSysFiles(root);
    return BackEndChoice::kOk;
  }
  if (root.empty()) {
    *error = "cannot use the driver's files: " + problem;
    return BackEndChoice::kFailed;
  }
  *error = OneLine("--root " + root + ": " + problem);  // one line, whatever the path
  return BackEndChoice::kBadValue;
}

}  // namespace talon_dramctl

#endif  // TOOLS_TALON_DRAMCTL_DEVICE_SYS_FILES_H_
