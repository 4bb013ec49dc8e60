// libtalon's log inside GStreamer: its entries go to the debug category
// "talon" (GST_DEBUG=talon:5 shows them) instead of standard error, and the
// last warning or error is kept so that a refusal can name its cause; the
// graph cache is chosen once per process by the rule every surface uses.
//
// Threads: RouteLibraryLog and ChooseGraphCache from any thread (once per
// process, later calls return the first result); the handler runs on
// libtalon's threads; LastLibraryProblem from any thread.

#ifndef GST_LIBRARY_LOG_H_
#define GST_LIBRARY_LOG_H_

#include <string>

namespace talon_gst {

// Installs the handler (without the standard-error copy).
void RouteLibraryLog();

// libtalon's last warning or error entry, "<file>:<line> <message>"; empty
// when none since the last call.
std::string TakeLastLibraryProblem();

// The graph-cache directory, chosen and made once; false with the reason
// (the path and the system's error). `note`: a fallback was taken.
bool ChooseGraphCache(std::string* dir, std::string* note, std::string* error);

}  // namespace talon_gst

#endif  // GST_LIBRARY_LOG_H_
