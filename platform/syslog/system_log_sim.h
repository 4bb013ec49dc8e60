// Host-only control of the system log's stand-in: a sink that receives every
// entry, so that tests can capture what a library logs. Not part of the
// device's system log; shipped code never includes this header.
//
// Threading: the sink is called on the writing thread, one entry at a time
// (calls are serialised); SystemLogSetSink may be called from any thread.

#ifndef PLATFORM_SYSLOG_SYSTEM_LOG_SIM_H_
#define PLATFORM_SYSLOG_SYSTEM_LOG_SIM_H_

#include "syslog/system_log.h"

#ifdef __cplusplus
extern "C" {
#endif

// A sink that receives every entry after it has been written.
typedef void (*SystemLogSink)(void* context, int priority, const char* tag, const char* text);

// Installs `sink` (null removes it) and returns the previous one
// through `previous` / `previous_context` when those are not null.
__attribute__((visibility("default"))) void SystemLogSetSink(SystemLogSink sink, void* context,
                                                             SystemLogSink* previous,
                                                             void** previous_context);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SYSLOG_SYSTEM_LOG_SIM_H_
