// The device's system log: one entry is a priority, a tag and a text.
//
// On the device the platform's log library provides SystemLogWrite. This host
// stand-in forwards every entry to the host's syslog (and to a test's sink,
// see platform/syslog/system_log_sim.h). With the environment variable
// SYSTEM_LOG_FILE set to a file path (or "stderr"), every entry is also
// appended there as "<priority> <tag>: <text>", so the system log can be read
// on a host without a syslog daemon.
//
// Threading: every function may be called from any thread. A sink is called on
// the writing thread, one entry at a time (calls are serialised).

#ifndef SYSLOG_SYSTEM_LOG_H_
#define SYSLOG_SYSTEM_LOG_H_

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
__attribute__((visibility("default"))) int SystemLogWrite(int priority, const char* tag,
                                                          const char* text);

#ifdef __cplusplus
}
#endif

#endif  // SYSLOG_SYSTEM_LOG_H_
