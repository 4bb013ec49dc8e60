#include "base/logging.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

void SetVerboseLevel(int level) { g_verbose_level.store(level); }
int GetVerboseLevel() { return g_verbose_level.load(std::memory_order_relaxed); }

int SystemLogPriority(LogSeverity severity) {
  if (severity >= FATAL) return SYSTEM_LOG_FATAL;
  switch (severity) {
    case ERROR: return SYSTEM_LOG_ERROR;
    case WARNING: return SYSTEM_LOG_WARN;
    case INFO: return SYSTEM_LOG_INFO;
    case -1: return SYSTEM_LOG_DEBUG;
    default: return SYSTEM_LOG_VERBOSE;
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

LogMessage::~LogMessage() { Flush(); }

void LogMessage::Flush() {
  std::string entry = FormatLogEntry(file_, line_, stream_.str());
  SystemLogWrite(SystemLogPriority(severity_), kTag, entry.c_str());
  WriteAll(STDERR_FILENO, std::string(kTag) + " : " + entry);
}

LogMessageFatal::LogMessageFatal(const char* file, int line)
    : LogMessage(file, line, FATAL) {}

LogMessageFatal::LogMessageFatal(const char* file, int line,
                                 const std::string& check_text)
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
