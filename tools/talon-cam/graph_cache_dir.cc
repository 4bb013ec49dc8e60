#include "tools/talon-cam/graph_cache_dir.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_util.h"

namespace talon_cam {
namespace {

using vireo::ozy::kCompiledGraphDirVariable;
using vireo::ozy::kDefaultCompiledGraphDir;

// Whether `dir` exists and can be written, or could be made: its nearest
// existing ancestor can be written.
bool CanCreateIn(std::string dir) {
  while (!vireo::vireo_util::FileExists(dir) && dir != "/" && dir != ".") {
    dir = vireo::vireo_util::ParentPath(dir);
    if (dir.empty()) dir = "/";
  }
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::string UserGraphCacheDir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/talon";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/talon";
  return "";
}

void ChooseGraphCacheDir(const std::string& chosen) {
  if (!chosen.empty()) {
    setenv(kCompiledGraphDirVariable, chosen.c_str(), 1);
    return;
  }
  const char* set = std::getenv(kCompiledGraphDirVariable);
  if ((set != nullptr && set[0] != '\0') || CanCreateIn(kDefaultCompiledGraphDir)) return;
  const std::string dir = UserGraphCacheDir();
  if (dir.empty()) return;  // nowhere better; the library reports what fails
  if (!vireo::vireo_util::RecursivelyCreateDir(dir)) {
    std::fprintf(stderr, "talon-cam: %s is not writable and %s cannot be made\n",
                 kDefaultCompiledGraphDir, dir.c_str());
    return;
  }
  setenv(kCompiledGraphDirVariable, dir.c_str(), 1);
  std::fprintf(stderr, "talon-cam: %s is not writable; caching compiled graphs in %s\n",
               kDefaultCompiledGraphDir, dir.c_str());
}

}  // namespace talon_cam
