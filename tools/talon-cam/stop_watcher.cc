#include "tools/talon-cam/stop_watcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <system_error>

namespace talon_cam {
namespace {

// The handlers' pipe: signal numbers, and 0 to end the watcher thread.
int g_pipe[2] = {-1, -1};

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  // Non-blocking: with the pipe full a stop is already on its way.
  if (write(g_pipe[1], &byte, 1) < 0) {
  }
  errno = saved_errno;
}

}  // namespace

bool StopWatcher::Start() {
  if (pipe2(g_pipe, O_CLOEXEC) != 0 || fcntl(g_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
    std::fprintf(stderr, "talon-cam: cannot watch for Ctrl-C: %s\n", std::strerror(errno));
    return false;
  }
  try {
    thread_ = std::thread(&StopWatcher::Run, this);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "talon-cam: cannot watch for Ctrl-C: %s\n", e.what());
    return false;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return true;
}

void StopWatcher::Run() {
  while (true) {
    unsigned char byte = 0;
    const ssize_t n = read(g_pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1 || byte == 0) return;
    int expected = 0;
    signal_.compare_exchange_strong(expected, byte);
    vireo::MutexLock lock(&mutex_);
    if (session_ != nullptr) session_->Wake();
  }
}

void StopWatcher::Watch(talon_support::CaptureSession* session) {
  vireo::MutexLock lock(&mutex_);
  session_ = session;
  if (session_ != nullptr && signal_.load() != 0) session_->Wake();
}

void StopWatcher::Stop() {
  if (!thread_.joinable()) return;
  const unsigned char end = 0;
  while (write(g_pipe[1], &end, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
  thread_.join();
}

}  // namespace talon_cam
