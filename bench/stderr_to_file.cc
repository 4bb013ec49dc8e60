#include "bench/stderr_to_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace talon_bench {

StderrToFile::StderrToFile() {
  char path[] = "/tmp/talon-bench-log-XXXXXX";
  fd_ = mkstemp(path);
  if (fd_ < 0) return;
  unlink(path);
  std::fflush(stderr);
  saved_ = dup(2);
  dup2(fd_, 2);
}

StderrToFile::~StderrToFile() {
  Restore();
  if (fd_ >= 0) close(fd_);
}

void StderrToFile::Restore() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  saved_ = -1;
}

uint64_t StderrToFile::Count(const char* text) const {
  if (fd_ < 0) return 0;
  std::string content;
  char buffer[65536];
  ssize_t n;
  off_t offset = 0;
  while ((n = pread(fd_, buffer, sizeof(buffer), offset)) > 0) {
    content.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  uint64_t count = 0;
  for (size_t pos = content.find(text); pos != std::string::npos;
       pos = content.find(text, pos + 1)) {
    ++count;
  }
  return count;
}

}  // namespace talon_bench
