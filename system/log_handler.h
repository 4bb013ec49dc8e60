// The log hook of libtalon: an application that wants libtalon's log entries
// (to show them in its own log, or to keep them off standard error) installs
// a handler here.
//
// Every entry of libtalon is written to the system log under the tag
// "native", whatever is installed here. Without a handler (the default) a
// copy "native : <file>:<line> <message>" also goes to standard error; with
// one, the handler receives the entry and standard error gets the copy only
// when asked for.
//
//   void ToMyLog(void* context, int severity, const char* file, int line,
//                const char* message) {
//     static_cast<MyLog*>(context)->Add(severity, file, line, message);
//   }
//   vireo::SetLogHandler(&ToMyLog, &my_log, /*write_stderr=*/false);
//   ...
//   vireo::SetLogHandler(nullptr, nullptr, /*write_stderr=*/true);  // before my_log goes
//
// Threading: SetLogHandler may be called from any thread, also while other
// threads log. A handler is called on whichever libtalon thread logs (client
// threads and the capture service's worker), possibly on several at once.
// Ownership: the handler's context stays the caller's; libtalon only passes
// it back.

#ifndef SYSTEM_LOG_HANDLER_H_
#define SYSTEM_LOG_HANDLER_H_

#include "base/export.h"

namespace vireo {

// Receives one log entry of libtalon.
//
// `severity`: 3 fatal, 2 error, 1 warning, 0 info, -n verbose level n.
// `file`: the base name of the source file; `line`: its line; `message`:
// the entry's text without a trailing newline. The strings are valid for
// the call only. A fatal entry reaches the handler before the process
// aborts.
//
// A handler should be quick (it runs on the capture worker too, which then
// waits for it) and must not call into libtalon: not log, not capture, and
// not SetLogHandler (see there).
using LogHandler = void (*)(void* context, int severity, const char* file, int line,
                            const char* message);

// Installs `handler` (null: none) with the `context` it is called with, and
// whether each entry is also copied to standard error as
// "native : <file>:<line> <message>". Without any call the copy is written
// and no handler is called.
//
// When SetLogHandler returns, the handler it replaced is running on no
// thread and will not be called again, so its context may be freed. The one
// exception: called from inside a handler (against the rule above), it
// installs the new handler but cannot wait for the call it was made from,
// nor for others, since they may be waiting for this one; then nothing is
// promised about the previous handler.
TALON_EXPORT void SetLogHandler(LogHandler handler, void* context, bool write_stderr);

}  // namespace vireo

#endif  // SYSTEM_LOG_HANDLER_H_
