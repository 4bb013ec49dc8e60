#include "host/dram_driver/dram_driver_sim.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "absl/strings/str_split.h"
#include "support/atomic_file.h"

namespace vireo {
namespace dram_sim {
namespace {

// Digits of `text` in `base` (10 or 16, lower case only) without leading
// zeros, at most `max_digits` of them; false for anything else.
bool ParseNumber(const std::string& text, int base, size_t max_digits, uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  uint64_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
  }
  if (v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseIndex(const std::string& text, uint32_t* index) {
  return ParseNumber(text, 10, 4, index) && *index < kRegisterCount;
}

// The longest state file: every register set.
constexpr size_t kMaxStateBytes = kRegisterCount * (sizeof("1023 0x00000000\n") - 1);

// The directory part of `path`: "." when it has none.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A directory (not a link to one) of this user's that nobody else may write.
bool IsPrivateDirectory(const std::string& dir) {
  struct stat status;
  return lstat(dir.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Reads from `fd` until its end or `limit` bytes; false (errno set) on a
// read error.
bool ReadUpTo(int fd, size_t limit, std::string* text) {
  char buffer[4096];
  while (text->size() < limit) {
    const ssize_t n = read(fd, buffer, std::min(sizeof(buffer), limit - text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

SimulatedDramDriver::SimulatedDramDriver() = default;

SimulatedDramDriver::SimulatedDramDriver(std::string state_path)
    : state_path_(std::move(state_path)) {}

SimulatedDramDriver::~SimulatedDramDriver() = default;

int SimulatedDramDriver::Write(const std::string& path, const std::string& input) {
  MutexLock lock(&mutex_);
  last_error_.clear();
  if (path == kReadFilePath) {
    uint32_t index = 0;
    if (!ParseIndex(input, &index)) {
      Fail(absl::StrCat("malformed register index \"", input, "\""));
      return -1;
    }
    selected_ = index;
    return 0;
  }
  if (path != kWriteFilePath) {
    Fail(absl::StrCat("no such driver file: ", path));
    return -1;
  }
  size_t separator = input.find(";0x");
  uint32_t index = 0;
  uint32_t value = 0;
  if (separator == std::string::npos || !ParseIndex(input.substr(0, separator), &index) ||
      !ParseNumber(input.substr(separator + 3), 16, 8, &value)) {
    Fail(absl::StrCat("malformed register command \"", input, "\""));
    return -1;
  }
  if (!LoadState()) return -1;
  registers_[index] = value;
  if (!SaveState()) return -1;
  return 0;
}

int SimulatedDramDriver::Read(const std::string& path, std::string* output) {
  MutexLock lock(&mutex_);
  last_error_.clear();
  if (output != nullptr) output->clear();
  if (path != kReadFilePath || output == nullptr) {
    Fail(absl::StrCat("cannot read driver file: ", path));
    return -1;
  }
  if (!selected_.has_value()) {
    Fail("no register selected for reading");
    return -1;
  }
  if (!LoadState()) return -1;
  *output = absl::StrFormat("0x%08x", registers_[*selected_]);
  return 0;
}

bool SimulatedDramDriver::GetRegister(uint32_t index, uint32_t* value) {
  MutexLock lock(&mutex_);
  if (index >= kRegisterCount) return Fail(absl::StrCat("no register ", index));
  if (!LoadState()) return false;
  *value = registers_[index];
  return true;
}

bool SimulatedDramDriver::CheckState(std::string* error) {
  MutexLock lock(&mutex_);
  last_error_.clear();
  if (LoadState()) return true;
  *error = last_error_;
  return false;
}

std::string SimulatedDramDriver::LastError() const {
  MutexLock lock(&mutex_);
  return last_error_;
}

bool SimulatedDramDriver::Fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}

// The state file holds one line "<index> 0x<value>" per register that is not
// zero.
bool SimulatedDramDriver::LoadState() {
  if (state_path_.empty()) return true;
  const int fd = open(state_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT) {
      return Fail(absl::StrCat("cannot open state file ", state_path_, ": ", std::strerror(error)));
    }
    // No file yet means all zero, but only where the file could be made.
    const std::string dir = DirectoryOf(state_path_);
    struct stat status;
    if (stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return Fail(absl::StrCat("the state file's directory ", dir, " does not exist"));
    }
    registers_.fill(0);
    return true;
  }
  std::string text;
  const bool got = ReadUpTo(fd, kMaxStateBytes + 1, &text);
  const int error = errno;
  close(fd);
  if (!got) {
    return Fail(absl::StrCat("cannot read state file ", state_path_, ": ", std::strerror(error)));
  }
  if (text.size() > kMaxStateBytes) {
    return Fail(absl::StrCat("state file ", state_path_, " is longer than any state"));
  }
  std::vector<absl::string_view> lines = absl::StrSplit(text, '\n');
  if (lines.back().empty()) lines.pop_back();  // after the last newline
  std::array<uint32_t, kRegisterCount> registers{};
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line(lines[i]);
    size_t space = line.find(" 0x");
    uint32_t index = 0;
    uint32_t value = 0;
    if (space == std::string::npos || !ParseIndex(line.substr(0, space), &index) ||
        line.size() != space + 3 + 8) {
      return Fail(absl::StrCat("state file ", state_path_, " line ", i + 1, " is malformed"));
    }
    std::string digits = line.substr(space + 3);
    size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    if (!ParseNumber(digits, 16, 8, &value)) {
      return Fail(absl::StrCat("state file ", state_path_, " line ", i + 1, " is malformed"));
    }
    registers[index] = value;
  }
  registers_ = registers;
  return true;
}

bool SimulatedDramDriver::SaveState() {
  if (state_path_.empty()) return true;
  std::string text;
  for (uint32_t i = 0; i < kRegisterCount; ++i) {
    if (registers_[i] != 0) absl::StrAppendFormat(&text, "%u 0x%08x\n", i, registers_[i]);
  }
  // A new name beside the state file (mkstemp: no existing file, no link),
  // readable by this user alone, flushed to disk and renamed over it.
  talon_support::AtomicFile file;
  if (!file.Create(state_path_, nullptr, talon_support::AtomicFile::Access::kOwnerOnly)) {
    return Fail(absl::StrCat("cannot create a temporary file beside state file ", state_path_, ": ",
                             std::strerror(file.error_number())));
  }
  if (file.Write(text, nullptr) && file.Commit(nullptr)) return true;
  return Fail(absl::StrCat("cannot replace state file ", state_path_, ": ",
                           std::strerror(file.error_number())));
}

bool DefaultStatePath(std::string* path, std::string* error) {
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] == '/' && IsPrivateDirectory(runtime_dir)) {
    *path = absl::StrCat(runtime_dir, "/talon-dramctl.state");
    return true;
  }
  std::string home;
  const char* home_variable = std::getenv("HOME");
  if (home_variable != nullptr && home_variable[0] == '/') {
    home = home_variable;
  } else if (const passwd* entry = getpwuid(geteuid());
             entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/') {
    home = entry->pw_dir;
  }
  if (home.empty()) {
    *error = "no place for the state file: no XDG_RUNTIME_DIR and no home directory";
    return false;
  }
  const std::string cache = home + "/.cache";
  const std::string dir = cache + "/talon-dramctl";
  for (const std::string& make : {cache, dir}) {
    if (mkdir(make.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = absl::StrCat("cannot create the state directory ", make, ": ", std::strerror(errno));
      return false;
    }
  }
  if (!IsPrivateDirectory(dir)) {
    *error = absl::StrCat("the state directory ", dir,
                          " is not private (a directory of this user's, not writable by others)");
    return false;
  }
  *path = dir + "/state";
  return true;
}

}  // namespace dram_sim
}  // namespace vireo
