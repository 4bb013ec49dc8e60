// Runs a built tool as a child process (see the header).

#include "testing/tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <utility>

#include "base/boottime.h"

extern char** environ;

namespace talon_testing {
namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=') + 1); }

// The child's environment: `options.env` first (each name once), then the
// inherited entries not named there and not dropped.
std::vector<std::string> ChildEnvironment(const ToolOptions& options) {
  std::vector<std::string> env;
  std::set<std::string> names;
  for (const std::string& entry : options.env) {
    if (names.insert(NameOf(entry)).second) env.push_back(entry);
  }
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool dropped = names.count(NameOf(entry)) > 0;
    for (const std::string& prefix : options.drop_env_prefixes) {
      dropped = dropped || entry.rfind(prefix, 0) == 0;
    }
    if (!dropped) env.push_back(entry);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>* text) {
  std::vector<char*> pointers;
  for (std::string& t : *text) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& argv, const ToolOptions& options) {
  // Under a cross-compiling emulator the tool runs inside it.
  std::vector<std::string> argv_text;
  const std::string emulator = TALON_TEST_EMULATOR;
  if (!emulator.empty()) argv_text.push_back(emulator);
  argv_text.insert(argv_text.end(), argv.begin(), argv.end());
  std::vector<std::string> env_text = ChildEnvironment(options);
  std::vector<char*> child_argv = Pointers(&argv_text);
  std::vector<char*> child_env = Pointers(&env_text);

  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (options.output != ToolOutput::kDiscarded && pipe2(out_pipe, O_CLOEXEC) != 0) return;
  if (options.output == ToolOutput::kSeparate && pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  switch (options.output) {
    case ToolOutput::kMerged:
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 2);
      break;
    case ToolOutput::kSeparate:
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
      posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
      break;
    case ToolOutput::kDiscarded:
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
      break;
  }
  start_ns_ = vireo::BoottimeNs();
  if (posix_spawnp(&pid_, child_argv[0], &actions, nullptr, child_argv.data(), child_env.data()) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {out_pipe[1], err_pipe[1]}) {
    if (fd >= 0) close(fd);
  }
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) close(fd);
  }
}

bool ToolProcess::ReadSome() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (poll(fds, 2, -1) < 0) return errno == EINTR;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
    int& fd = i == 0 ? out_fd_ : err_fd_;
    if (n > 0) {
      (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(fd);
      fd = -1;
    }
  }
  return true;
}

bool ToolProcess::ReadUntil(const std::string& needle) {
  while (result_.out.find(needle) == std::string::npos) {
    if (out_fd_ < 0 || !ReadSome()) return false;
  }
  return true;
}

ToolResult ToolProcess::Finish() {
  while (ReadSome()) {
  }
  if (pid_ > 0) {
    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
      waited = wait4(pid_, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    result_.wall_ms = static_cast<double>(vireo::BoottimeNs() - start_ns_) / 1e6;
    if (waited == pid_) {
      result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      result_.max_rss_kb = usage.ru_maxrss;
    }
    pid_ = -1;
  }
  return std::move(result_);
}

ToolResult RunTool(const std::vector<std::string>& argv, const ToolOptions& options) {
  return ToolProcess(argv, options).Finish();
}

}  // namespace talon_testing
