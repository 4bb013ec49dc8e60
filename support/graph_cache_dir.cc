#include "support/graph_cache_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_setup.h"

namespace talon_support {
namespace {

using vireo::ozy::kDefaultCompiledGraphDir;

// Empty when `dir` exists as a directory that can be written and entered,
// else the system's reason.
std::string WritableReason(const std::string& dir) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    return ec ? ec.message() : std::strerror(ENOTDIR);
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return "";
}

// Makes `dir` and its missing parents; empty when it then can be written,
// else the system's reason.
std::string MakeWritable(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return ec.message();
  return WritableReason(dir);
}

// Empty when `dir` is writable or could be made: its nearest existing
// ancestor is a directory that can be written; else the system's reason.
std::string CreatableReason(const std::string& dir) {
  std::filesystem::path path(dir);
  std::error_code ec;
  while (!std::filesystem::exists(path, ec) && path.has_parent_path() &&
         path.parent_path() != path) {
    path = path.parent_path();
  }
  return WritableReason(path.string());
}

bool PointLibraryAt(const std::string& dir, std::string* chosen_dir, std::string* /*error*/) {
  vireo::SetCompiledGraphDir(dir);
  *chosen_dir = dir;
  return true;
}

}  // namespace

std::string UserGraphCacheDir() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/talon";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/talon";
  return "";
}

bool ChooseGraphCacheDir(const std::string& chosen, std::string* dir, std::string* note,
                         std::string* error) {
  dir->clear();
  note->clear();
  error->clear();
  // The library's default unless the process set another (SetCompiledGraphDir, or
  // the variable).
  const std::string set = vireo::GetCompiledGraphDir();
  std::string named = chosen;
  if (named.empty() && set != kDefaultCompiledGraphDir) named = set;
  if (!named.empty()) {
    const std::string reason = MakeWritable(named);
    if (!reason.empty()) {
      *error = "graph cache " + named + ": " + reason;
      return false;
    }
    return PointLibraryAt(named, dir, error);
  }
  const std::string system_reason = CreatableReason(kDefaultCompiledGraphDir);
  if (system_reason.empty()) return PointLibraryAt(kDefaultCompiledGraphDir, dir, error);

  const std::string user = UserGraphCacheDir();
  if (user.empty()) {
    *error = std::string("graph cache ") + kDefaultCompiledGraphDir + ": " + system_reason +
             ", and neither XDG_CACHE_HOME nor HOME names a per-user cache";
    return false;
  }
  const std::string user_reason = MakeWritable(user);
  if (!user_reason.empty()) {
    *error = std::string("graph cache ") + kDefaultCompiledGraphDir + ": " + system_reason + "; " +
             user + ": " + user_reason;
    return false;
  }
  *note = std::string(kDefaultCompiledGraphDir) + " is not writable (" + system_reason +
          "); caching compiled graphs in " + user;
  return PointLibraryAt(user, dir, error);
}

}  // namespace talon_support
