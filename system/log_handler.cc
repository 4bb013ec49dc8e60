// The public log hook: forwards to the logging of libtalon (base/logging.h),
// which holds the handler and keeps its promises.

#include "system/log_handler.h"

#include "base/logging.h"

namespace vireo {

void SetLogHandler(LogHandler handler, void* context, bool write_stderr) {
  base::InstallLogHandler(handler, context, write_stderr);
}

}  // namespace vireo
