// The device's system log: one entry is a priority, a tag and a text.
//
// On the device the platform's log library provides SystemLogWrite. This host
// stand-in forwards every entry to the host's syslog and, when a sink is
// installed, to that sink as well, so that tests can capture what a library
// logs. With the environment variable SYSTEM_LOG_FILE set to a file path (or
// "stderr"), every entry is also appended there as
// "<priority> <tag>: <text>", so the system log can be read on a host
// without a syslog daemon.
//
// Threading: every function may be called from any thread. A sink is called on
// the writing thread, one entry at a time (calls are serialised).

#ifndef PLATFORM_SYSLOG_SYSTEM_LOG_H_
#define PLATFORM_SYSLOG_SYSTEM_LOG_H_

#ifdef __cplusplus
extern "C" {
#endif

// Priorities of the system log.
enum {
  SYSTEM_LOG_VERBOSE = 2,
  SYSTEM_LOG_DEBUG = 3,
  SYSTEM_LOG_INFO = 4,
  SYSTEM_LOG_WARN = 5,
  SYSTEM_LOG_ERROR = 6,
  SYSTEM_LOG_FATAL = 7,
};

// Writes one entry. Returns the number of text bytes accepted, or -1.
__attribute__((visibility("default"))) int SystemLogWrite(int priority,
                                                          const char* tag,
                                                          const char* text);

// Host only: a sink that receives every entry after it has been written.
typedef void (*SystemLogSink)(void* context, int priority, const char* tag,
                              const char* text);

// Host only: installs `sink` (null removes it) and returns the previous one
// through `previous` / `previous_context` when those are not null.
__attribute__((visibility("default"))) void SystemLogSetSink(
    SystemLogSink sink, void* context, SystemLogSink* previous,
    void** previous_context);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SYSLOG_SYSTEM_LOG_H_
