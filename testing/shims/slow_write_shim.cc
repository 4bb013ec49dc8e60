// A slow disk for talon-cam's tests, preloaded into the tool
// (LD_PRELOAD): every write to a regular file whose path starts with
// $SLOW_WRITE_DIR first sleeps $SLOW_WRITE_MS milliseconds. Other
// descriptors (the terminal, pipes) are untouched.
//
// Callable from any thread, as the calls it wraps.

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void SlowDown(int fd) {
  const char* dir = std::getenv("SLOW_WRITE_DIR");
  const char* ms = std::getenv("SLOW_WRITE_MS");
  if (dir == nullptr || ms == nullptr || dir[0] == '\0') return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof(path) - 1);
  if (n <= 0) return;
  path[n] = '\0';
  if (std::strncmp(path, dir, std::strlen(dir)) != 0) return;
  const long delay_ms = std::atol(ms);
  timespec delay{delay_ms / 1000, (delay_ms % 1000) * 1000000};
  while (nanosleep(&delay, &delay) != 0) {
  }
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  SlowDown(fd);
  return next(fd, data, size);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void* data, size_t size,
                                                      off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  SlowDown(fd);
  return next(fd, data, size, offset);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void* data, size_t size,
                                                        off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  SlowDown(fd);
  return next(fd, data, size, offset);
}

__attribute__((visibility("default"))) ssize_t writev(int fd, const iovec* parts, int count) {
  static const auto next = Next<ssize_t (*)(int, const iovec*, int)>("writev");
  SlowDown(fd);
  return next(fd, parts, count);
}

__attribute__((visibility("default"))) ssize_t pwritev(int fd, const iovec* parts, int count,
                                                       off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const iovec*, int, off_t)>("pwritev");
  SlowDown(fd);
  return next(fd, parts, count, offset);
}

__attribute__((visibility("default"))) ssize_t pwritev64(int fd, const iovec* parts, int count,
                                                         off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const iovec*, int, off_t)>("pwritev64");
  SlowDown(fd);
  return next(fd, parts, count, offset);
}

}  // extern "C"
