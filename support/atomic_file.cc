#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace talon_support {
namespace {

// The process's umask, read once (reading it means setting it).
mode_t Umask() {
  static const mode_t mask = [] {
    const mode_t m = umask(022);
    umask(m);
    return m;
  }();
  return mask;
}

}  // namespace

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Fail(const std::string& what, const std::string& path, std::string* error) {
  error_number_ = errno;
  if (error != nullptr) *error = what + " " + path + ": " + std::strerror(error_number_);
  return false;
}

bool AtomicFile::NoFile(const char* reason, std::string* error) {
  error_number_ = EBADF;
  if (error != nullptr) *error = reason;
  return false;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
  fd_ = -1;
  temporary_.clear();
}

bool AtomicFile::Create(const std::string& path, std::string* error, Access access) {
  Discard();
  path_ = path;
  std::string temporary = path + ".XXXXXX";
  fd_ = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd_ < 0) return Fail("cannot create", path, error);
  temporary_ = temporary;
  if (access == Access::kUsual && fchmod(fd_, 0666 & ~Umask()) != 0) {
    Fail("cannot set the mode of", temporary_, error);
    Discard();
    return false;
  }
  return true;
}

bool AtomicFile::Write(std::string_view bytes, std::string* error) {
  if (fd_ < 0) return NoFile("no file to write", error);
  while (!bytes.empty()) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Fail("cannot write", temporary_, error);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool AtomicFile::Commit(std::string* error, Sync sync) {
  if (fd_ < 0) return NoFile("no file to commit", error);
  bool ok = sync == Sync::kOnRename || fsync(fd_) == 0 || Fail("cannot write", temporary_, error);
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0 && ok) ok = Fail("cannot write", temporary_, error);
  if (ok && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    ok = Fail("cannot rename to", path_, error);
  }
  if (!ok) {
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

}  // namespace talon_support
