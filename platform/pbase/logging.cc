// Host stand-in of the platform logging: lines on standard error plus an
// optional capture sink.

#include <errno.h>
#include <unistd.h>

#include <string>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/pbase/logging_sim.h"

namespace pbase {
namespace {

// Serialises the lines on standard error and guards the sink.
vireo::Mutex g_mutex;
LogSink g_sink ABSL_GUARDED_BY(g_mutex) = nullptr;
void* g_sink_context ABSL_GUARDED_BY(g_mutex) = nullptr;

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report a failing stderr
    done += static_cast<size_t>(n);
  }
}

}  // namespace

LogMessage::LogMessage(LogSeverity severity, const char* tag)
    : severity_(severity), tag_(tag != nullptr ? tag : program_invocation_short_name) {}

LogMessage::~LogMessage() {
  const std::string message = stream_.str();
  std::string line = severity_ == ERROR ? "E " : "I ";
  line.append(tag_).append(": ").append(message).append("\n");
  vireo::MutexLock lock(&g_mutex);
  WriteAll(STDERR_FILENO, line);
  if (g_sink != nullptr) g_sink(g_sink_context, severity_, tag_, message.c_str());
}

void SetLogSink(LogSink sink, void* context, LogSink* previous, void** previous_context) {
  vireo::MutexLock lock(&g_mutex);
  if (previous != nullptr) *previous = g_sink;
  if (previous_context != nullptr) *previous_context = g_sink_context;
  g_sink = sink;
  g_sink_context = context;
}

}  // namespace pbase
