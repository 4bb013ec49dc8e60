#include "tools/talon-cam/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace talon_cam {
namespace {

// The process's umask, read once (reading it means setting it, so this
// runs before the tool starts other threads that create files).
mode_t Umask() {
  static const mode_t mask = [] {
    const mode_t m = umask(022);
    umask(m);
    return m;
  }();
  return mask;
}

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
  fd_ = -1;
  temporary_.clear();
}

bool AtomicFile::Create(const std::string& path, std::string* error) {
  Discard();
  path_ = path;
  std::string temporary = path + ".XXXXXX";
  fd_ = mkstemp(temporary.data());
  if (fd_ < 0) {
    *error = Reason("cannot create", path);
    return false;
  }
  temporary_ = temporary;
  if (fchmod(fd_, 0666 & ~Umask()) != 0) {
    *error = Reason("cannot set the mode of", temporary_);
    Discard();
    return false;
  }
  return true;
}

bool AtomicFile::Write(const std::string& bytes, std::string* error) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = Reason("cannot write", temporary_);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fd_ < 0) *error = "no file to write";
  return fd_ >= 0;
}

bool AtomicFile::Commit(std::string* error) {
  if (fd_ < 0) {
    *error = "no file to commit";
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *error = Reason("cannot write", temporary_);
    Discard();
    return false;
  }
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    *error = Reason("cannot rename to", path_);
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

}  // namespace talon_cam
