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

}  // namespace talon_bench
