#include "base/logging.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "syslog/system_log.h"

namespace vireo {
namespace base {
namespace {

constexpr char kTag[] = "native";
std::atomic<int> g_verbose_level{0};

// Writes all of `text` with as few system calls as the kernel allows.
void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// The installed sink. Calls of the current sink and of replaced ones are
// counted apart, so that InstallLogHandler waits only for the replaced ones (new
// entries keep coming with the new sink meanwhile).
struct SinkState {
  Mutex mutex;
  CondVar replaced_done{&mutex};
  LogSink sink ABSL_GUARDED_BY(mutex) = nullptr;
  void* context ABSL_GUARDED_BY(mutex) = nullptr;
  bool write_stderr ABSL_GUARDED_BY(mutex) = true;
  uint64_t generation ABSL_GUARDED_BY(mutex) = 0;
  int current_calls ABSL_GUARDED_BY(mutex) = 0;
  int replaced_calls ABSL_GUARDED_BY(mutex) = 0;
  // InstallLogHandler calls waiting for replaced calls (tests).
  int waiting_setters ABSL_GUARDED_BY(mutex) = 0;
};

// Never destroyed: threads may log while the process exits.
SinkState& Sink() {
  static SinkState* state = new SinkState;
  return *state;
}

// Sink calls under way on this thread: an entry logged from inside a sink
// skips it, and InstallLogHandler from inside one does not wait.
thread_local int t_sink_depth = 0;

}  // namespace

void InstallLogHandler(LogSink sink, void* context, bool write_stderr) {
  SinkState& state = Sink();
  MutexLock lock(&state.mutex);
  state.sink = sink;
  state.context = context;
  state.write_stderr = write_stderr;
  ++state.generation;
  state.replaced_calls += state.current_calls;
  state.current_calls = 0;
  if (t_sink_depth > 0) return;  // the calls waited for may be waiting for this one
  ++state.waiting_setters;
  while (state.replaced_calls > 0) state.replaced_done.Wait();
  --state.waiting_setters;
}

int LogSinkSettersWaitingForTesting() {
  SinkState& state = Sink();
  MutexLock lock(&state.mutex);
  return state.waiting_setters;
}

void SetVerboseLevel(int level) { g_verbose_level.store(level); }
int GetVerboseLevel() { return g_verbose_level.load(std::memory_order_relaxed); }

int SystemLogPriority(LogSeverity severity) {
  if (severity >= FATAL) return SYSTEM_LOG_FATAL;
  switch (severity) {
    case ERROR:
      return SYSTEM_LOG_ERROR;
    case WARNING:
      return SYSTEM_LOG_WARN;
    case INFO:
      return SYSTEM_LOG_INFO;
    case -1:
      return SYSTEM_LOG_DEBUG;
    default:
      return SYSTEM_LOG_VERBOSE;
  }
}

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

std::string FormatLogEntry(const char* file, int line, const std::string& message) {
  const char* base = BaseName(file);
  std::string entry;
  entry.reserve(std::strlen(base) + message.size() + 16);
  entry.append(base).append(":").append(std::to_string(line)).append(" ");
  entry.append(message).append("\n");
  return entry;
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : file_(file), line_(line), severity_(severity) {}

namespace {
thread_local ScopedErrorCollector* t_error_collector = nullptr;
}  // namespace

ScopedErrorCollector::ScopedErrorCollector() : outer_(t_error_collector) {
  t_error_collector = this;
}

ScopedErrorCollector::~ScopedErrorCollector() { t_error_collector = outer_; }

LogMessage::~LogMessage() { Flush(); }

void LogMessage::Flush() {
  const std::string message = stream_.str();
  if (severity_ >= ERROR && t_error_collector != nullptr) {
    std::string& errors = t_error_collector->errors_;
    if (!errors.empty()) errors += "; ";
    errors += message;
  }
  const std::string entry = FormatLogEntry(file_, line_, message);
  SystemLogWrite(SystemLogPriority(severity_), kTag, entry.c_str());

  SinkState& state = Sink();
  LogSink sink = nullptr;
  void* context = nullptr;
  bool write_stderr = true;
  uint64_t generation = 0;
  {
    MutexLock lock(&state.mutex);
    if (t_sink_depth == 0) sink = state.sink;
    context = state.context;
    write_stderr = state.write_stderr;
    generation = state.generation;
    if (sink != nullptr) ++state.current_calls;
  }
  if (sink != nullptr) {
    ++t_sink_depth;
    sink(context, severity_, BaseName(file_), line_, message.c_str());
    --t_sink_depth;
    MutexLock lock(&state.mutex);
    if (generation == state.generation) {
      --state.current_calls;
    } else if (--state.replaced_calls == 0) {
      state.replaced_done.SignalAll();
    }
  }
  if (write_stderr) WriteAll(STDERR_FILENO, std::string(kTag) + " : " + entry);
}

LogMessageFatal::LogMessageFatal(const char* file, int line) : LogMessage(file, line, FATAL) {}

LogMessageFatal::LogMessageFatal(const char* file, int line, const std::string& check_text)
    : LogMessage(file, line, FATAL) {
  stream_ << "Check failed: " << check_text << " ";
}

LogMessageFatal::~LogMessageFatal() {
  Flush();
  SystemLogWrite(SYSTEM_LOG_FATAL, kTag, "terminating.\n");
  std::abort();
}

}  // namespace base
}  // namespace vireo
