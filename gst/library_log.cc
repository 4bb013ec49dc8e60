#include "gst/library_log.h"

#include <gst/gst.h>

#include <mutex>

#include "system/log_handler.h"

GST_DEBUG_CATEGORY_STATIC(talon_library_debug);

namespace talon_gst {
namespace {

void ToGstDebug(void* /*context*/, int severity, const char* file, int line, const char* message) {
  GstDebugLevel level = GST_LEVEL_DEBUG;
  if (severity >= 2) {
    level = GST_LEVEL_ERROR;
  } else if (severity == 1) {
    level = GST_LEVEL_WARNING;
  } else if (severity == 0) {
    level = GST_LEVEL_INFO;
  }
  gst_debug_log(talon_library_debug, level, file, "", line, nullptr, "%s", message);
}

}  // namespace

void RouteLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    GST_DEBUG_CATEGORY_INIT(talon_library_debug, "talon", 0, "libtalon's log");
    vireo::SetLogHandler(&ToGstDebug, nullptr, /*write_stderr=*/false);
  });
}

}  // namespace talon_gst
