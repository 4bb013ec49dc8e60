#include "tools/talon-cam/growing_file.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace talon_cam {

bool GrowingFile::WriteAt(std::vector<std::string_view> parts, uint64_t offset) {
  // One system call for the record and the tail, unless it writes short.
  size_t first = 0;
  while (true) {
    while (first < parts.size() && parts[first].empty()) ++first;
    if (first == parts.size()) return true;
    iovec io[kMaxParts];
    int count = 0;
    for (size_t i = first; i < parts.size() && count < kMaxParts; ++i) {
      io[count].iov_base = const_cast<char*>(parts[i].data());
      io[count++].iov_len = parts[i].size();
    }
    const ssize_t n = pwritev(file_->fd(), io, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // nothing written and no reason: the device took no more
      return false;
    }
    offset += static_cast<uint64_t>(n);
    for (size_t done = static_cast<size_t>(n); done > 0;) {
      const size_t step = std::min(done, parts[first].size());
      parts[first].remove_prefix(step);
      done -= step;
      if (parts[first].empty()) ++first;
    }
  }
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
  if (!WriteAt({head, tail_}, 0)) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    file_.reset();  // removes the temporary
    return false;
  }
  return true;
}

bool GrowingFile::Append(const std::vector<std::string_view>& parts) {
  if (failed() || !open()) return false;
  uint64_t end = length_;
  for (std::string_view part : parts) end += part.size();
  std::vector<std::string_view> all = parts;
  all.push_back(tail_);
  if (WriteAt(std::move(all), length_)) {
    length_ = end;
    return true;
  }
  error_number_ = errno;
  // Back to the last whole record. The tail goes where it was, into space
  // the file already had, so that it fits on a full disk too.
  if (ftruncate(file_->fd(), static_cast<off_t>(length_ + tail_.size())) != 0 ||
      !WriteAt({tail_}, length_)) {
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
