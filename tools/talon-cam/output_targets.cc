#include "tools/talon-cam/output_targets.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "absl/strings/ascii.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_replace.h"

namespace talon_cam {
namespace {

// One file name an option writes, split into its directory and base name.
struct Target {
  const char* option;
  std::string dir;   // "." for a bare name
  std::string base;  // may hold '#'
};

Target Split(const char* option, const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {option, ".", path};
  return {option, slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Makes and removes a file in `dir`; the system's reason when it cannot.
std::string TryCreateIn(const std::string& dir) {
  std::string probe = dir + "/.talon-cam-XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) return std::strerror(errno);
  close(fd);
  unlink(probe.c_str());
  return "";
}

// The nearest existing ancestor of `dir` (itself when it exists).
std::string ExistingAncestor(std::string dir) {
  struct stat st {};
  while (stat(dir.c_str(), &st) != 0 && dir != "/" && dir != ".") {
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  }
  return dir;
}

bool Collide(const Target& a, const Target& b, const std::vector<int>& data_types) {
  if (a.dir != b.dir) return false;  // both resolved
  const bool a_hash = a.base.find('#') != std::string::npos;
  const bool b_hash = b.base.find('#') != std::string::npos;
  if (!a_hash) return PatternMatches(b.base, a.base, data_types);
  if (!b_hash) return PatternMatches(a.base, b.base, data_types);
  // Two patterns: compared at frames of every width of the counter.
  for (int data_type : data_types) {
    for (uint64_t frame : {0ull, 1ull, 999999ull, 1000000ull, 123456789ull}) {
      if (PatternMatches(b.base, ExpandOutputPattern(a.base, data_type, frame), data_types) ||
          PatternMatches(a.base, ExpandOutputPattern(b.base, data_type, frame), data_types)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool PatternMatches(const std::string& pattern, const std::string& name,
                    const std::vector<int>& data_types) {
  const size_t hash = pattern.find('#');
  if (hash == std::string::npos) return pattern == name;
  // The first '#' fixes the stamp "<data type>-<frame>"; every other '#'
  // repeats it.
  for (int data_type : data_types) {
    const std::string prefix = absl::StrCat(data_type, "-");
    if (name.compare(hash, prefix.size(), prefix) != 0) continue;
    const size_t digits = hash + prefix.size();
    for (size_t width = 6; digits + width <= name.size() && width <= 20; ++width) {
      if (!absl::ascii_isdigit(static_cast<unsigned char>(name[digits + width - 1]))) break;
      if (width > 6 && name[digits] == '0') break;  // the counter has no extra zeros
      const std::string stamp = prefix + name.substr(digits, width);
      if (absl::StrReplaceAll(pattern, {{"#", stamp}}) == name) return true;
    }
  }
  return false;
}

bool CheckOutputTargets(const Options& options, std::string* error) {
  std::vector<int> data_types;
  for (const vireo::CaptureStreamConfig& s : options.config.stream_configs) {
    data_types.push_back(s.data_type);
  }
  const bool several = data_types.size() > 1;
  std::vector<Target> targets;
  if (!options.output_pattern.empty()) targets.push_back(Split("--output", options.output_pattern));
  if (!options.dng_pattern.empty()) targets.push_back(Split("--dng", options.dng_pattern));
  if (!options.jpeg_pattern.empty()) targets.push_back(Split("--jpeg", options.jpeg_pattern));
  if (!options.png_path.empty()) {
    for (int data_type : data_types) {
      targets.push_back(Split("--png", PreviewPath(options.png_path, data_type, several)));
    }
  }
  if (!options.metadata_path.empty()) {
    targets.push_back(Split("--metadata", options.metadata_path));
  }
  if (!options.trace_path.empty()) targets.push_back(Split("--trace", options.trace_path));

  std::map<std::string, std::string> resolved;  // directory as given -> its real path
  for (Target& target : targets) {
    auto it = resolved.find(target.dir);
    if (it == resolved.end()) {
      const std::string reason = TryCreateIn(target.dir);
      if (!reason.empty()) {
        *error = absl::StrCat(target.option, ": cannot create files in ", target.dir, ": ", reason);
        return false;
      }
      char real[PATH_MAX];
      it = resolved.emplace(target.dir, realpath(target.dir.c_str(), real) ? real : target.dir)
               .first;
    }
    const std::string first = target.dir + "/" + ExpandOutputPattern(target.base, data_types[0], 0);
    struct stat st {};
    if (stat(first.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      *error = absl::StrCat(target.option, ": ", first, " is a directory");
      return false;
    }
    target.dir = it->second;
  }
  for (size_t i = 0; i < targets.size(); ++i) {
    for (size_t j = i + 1; j < targets.size(); ++j) {
      if (targets[i].option != targets[j].option && Collide(targets[i], targets[j], data_types)) {
        *error = absl::StrCat(targets[j].option, ": names the same files as ", targets[i].option,
                              " (each file would replace the other)");
        return false;
      }
    }
  }
  if (!options.graph_cache_dir.empty()) {
    const std::string dir = ExistingAncestor(options.graph_cache_dir);
    struct stat st {};
    const std::string reason = stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)
                                   ? std::string(std::strerror(ENOTDIR))
                                   : TryCreateIn(dir);
    if (!reason.empty()) {
      *error = absl::StrCat("--graph-cache: cannot create files in ", dir, ": ", reason);
      return false;
    }
  }
  return true;
}

}  // namespace talon_cam
