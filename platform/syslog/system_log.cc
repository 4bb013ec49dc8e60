// Host stand-in of the system log: the host's syslog plus an optional sink.

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/syslog/system_log_sim.h"

namespace {

// Serialises the entries, so that the host log, the mirror and the sink see
// them in one order, and guards the sink.
vireo::Mutex g_mutex;
SystemLogSink g_sink ABSL_GUARDED_BY(g_mutex) = nullptr;
void* g_sink_context ABSL_GUARDED_BY(g_mutex) = nullptr;

// Appends the entry to the copy named by SYSTEM_LOG_FILE, if any. The
// variable is read for every entry (a debugging aid, not a hot path).
void WriteMirror(int priority, const char* tag, const char* text) {
  const char* target = std::getenv("SYSTEM_LOG_FILE");
  if (target == nullptr || *target == '\0') return;
  if (std::strcmp(target, "stderr") == 0) {
    std::fprintf(stderr, "%d %s: %s", priority, tag, text);
    std::fflush(stderr);
    return;
  }
  if (FILE* file = std::fopen(target, "a")) {
    std::fprintf(file, "%d %s: %s", priority, tag, text);
    std::fclose(file);
  }
}

int HostPriority(int priority) {
  switch (priority) {
    case SYSTEM_LOG_FATAL:
      return LOG_CRIT;
    case SYSTEM_LOG_ERROR:
      return LOG_ERR;
    case SYSTEM_LOG_WARN:
      return LOG_WARNING;
    case SYSTEM_LOG_INFO:
      return LOG_INFO;
    default:
      return LOG_DEBUG;
  }
}

}  // namespace

extern "C" int SystemLogWrite(int priority, const char* tag, const char* text) {
  if (tag == nullptr) tag = "";
  if (text == nullptr) return -1;
  vireo::MutexLock lock(&g_mutex);
  syslog(LOG_USER | HostPriority(priority), "%s: %s", tag, text);
  WriteMirror(priority, tag, text);
  if (g_sink != nullptr) g_sink(g_sink_context, priority, tag, text);
  return static_cast<int>(std::strlen(text));
}

extern "C" void SystemLogSetSink(SystemLogSink sink, void* context, SystemLogSink* previous,
                                 void** previous_context) {
  vireo::MutexLock lock(&g_mutex);
  if (previous != nullptr) *previous = g_sink;
  if (previous_context != nullptr) *previous_context = g_sink_context;
  g_sink = sink;
  g_sink_context = context;
}
