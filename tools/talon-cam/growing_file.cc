#include "tools/talon-cam/growing_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace talon_cam {

bool GrowingFile::WriteAt(std::string_view bytes, uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(file_->fd(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // nothing written and no reason: the device took no more
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool GrowingFile::Create(const std::string& path, std::string_view head, std::string_view tail,
                         std::string* error) {
  tail_ = std::string(tail);
  length_ = head.size();
  error_number_ = 0;
  file_.emplace();
  if (!file_->Create(path, error)) {
    file_.reset();
    return false;
  }
  if (!WriteAt(head, 0) || !WriteAt(tail_, length_)) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    file_.reset();  // removes the temporary
    return false;
  }
  return true;
}

bool GrowingFile::Append(const std::vector<std::string_view>& parts) {
  if (failed() || !open()) return false;
  uint64_t end = length_;
  bool ok = true;
  for (std::string_view part : parts) {
    ok = ok && WriteAt(part, end);
    end += part.size();
  }
  if (ok && WriteAt(tail_, end)) {
    length_ = end;
    return true;
  }
  error_number_ = errno;
  // Back to the last whole record. The tail goes where it was, into space
  // the file already had, so that it fits on a full disk too.
  if (ftruncate(file_->fd(), static_cast<off_t>(length_ + tail_.size())) != 0 ||
      !WriteAt(tail_, length_)) {
    file_.reset();  // no whole file to keep: the temporary goes
  }
  return false;
}

bool GrowingFile::Commit(std::string* error) {
  if (!open()) {
    *error = "nothing to commit";
    return false;
  }
  const bool ok = file_->Commit(error);
  file_.reset();
  return ok;
}

}  // namespace talon_cam
