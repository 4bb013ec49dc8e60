// Host-only control of the platform logging stand-in: a sink that receives
// every line, so that tests can capture what libwarden logs. Not part of the
// device's logging library; shipped code never includes this header.
//
// Threading: the sink is called on the logging thread, one line at a time.

#ifndef PLATFORM_PBASE_LOGGING_SIM_H_
#define PLATFORM_PBASE_LOGGING_SIM_H_

#include "pbase/logging.h"

namespace pbase {

// Receives every line after it has been written to standard error;
// `message` is the text without prefix and newline. Called on the logging
// thread, one line at a time.
typedef void (*LogSink)(void* context, LogSeverity severity, const char* tag, const char* message);

// Installs `sink` (null removes it) and hands back the previous one
// through `previous` / `previous_context` when those are not null.
PBASE_EXPORT void SetLogSink(LogSink sink, void* context, LogSink* previous,
                             void** previous_context);

}  // namespace pbase

#endif  // PLATFORM_PBASE_LOGGING_SIM_H_
