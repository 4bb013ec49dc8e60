// libtalon's log inside GStreamer: its entries go to the debug category
// "talon" (GST_DEBUG=talon:5 shows them) instead of standard error. A
// refusal names its cause through vireo::CreateCaptureService, not the log.
//
// Threads: RouteLibraryLog from any thread (once per process, later calls
// do nothing); the handler runs on libtalon's threads.

#ifndef GST_LIBRARY_LOG_H_
#define GST_LIBRARY_LOG_H_

#include <string>

namespace talon_gst {

// Installs the handler (without the standard-error copy).
void RouteLibraryLog();

}  // namespace talon_gst

#endif  // GST_LIBRARY_LOG_H_
