#include "gst/library_log.h"

#include <gst/gst.h>

#include <mutex>

#include "absl/strings/str_cat.h"
#include "base/mutex.h"
#include "support/graph_cache_dir.h"
#include "system/log_handler.h"

GST_DEBUG_CATEGORY_STATIC(talon_library_debug);

namespace talon_gst {
namespace {

vireo::Mutex problem_mutex;
std::string last_problem ABSL_GUARDED_BY(problem_mutex);

void ToGstDebug(void* /*context*/, int severity, const char* file, int line,
                const char* message) {
  GstDebugLevel level = GST_LEVEL_DEBUG;
  if (severity >= 2) {
    level = GST_LEVEL_ERROR;
  } else if (severity == 1) {
    level = GST_LEVEL_WARNING;
  } else if (severity == 0) {
    level = GST_LEVEL_INFO;
  }
  gst_debug_log(talon_library_debug, level, file, "", line, nullptr, "%s", message);
  if (severity >= 1) {
    vireo::MutexLock lock(&problem_mutex);
    last_problem = absl::StrCat(file, ":", line, " ", message);
  }
}

}  // namespace

void RouteLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    GST_DEBUG_CATEGORY_INIT(talon_library_debug, "talon", 0, "libtalon's log");
    vireo::SetLogHandler(&ToGstDebug, nullptr, /*write_stderr=*/false);
  });
}

std::string TakeLastLibraryProblem() {
  vireo::MutexLock lock(&problem_mutex);
  std::string problem;
  problem.swap(last_problem);
  return problem;
}

bool ChooseGraphCache(std::string* dir, std::string* note, std::string* error) {
  struct Choice {
    bool ok;
    std::string dir, note, error;
  };
  static const Choice choice = [] {
    Choice c;
    c.ok = talon_support::ChooseGraphCacheDir("", &c.dir, &c.note, &c.error);
    return c;
  }();
  *dir = choice.dir;
  *note = choice.note;
  *error = choice.error;
  return choice.ok;
}

}  // namespace talon_gst
