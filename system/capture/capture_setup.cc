#include "system/capture/capture_setup.h"

#include <cstdlib>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/capture/dram_capture_service.h"

namespace vireo {
namespace {

// What CheckCaptureConfig refuses, said; empty when it passes.
std::string ConfigFault(const CaptureConfig& config) {
  if (config.virtual_channel > kMaxVirtualChannel) {
    return absl::StrCat("virtual_channel: ", config.virtual_channel, " is not in 0 to ",
                        kMaxVirtualChannel);
  }
  const size_t streams = config.stream_configs.size();
  if (streams == 0 || streams > kMaxCaptureStreams) {
    return absl::StrCat("stream_configs: ", streams, " streams; 1 to ", kMaxCaptureStreams,
                        " allowed");
  }
  return "";
}

struct GraphDir {
  Mutex mutex;
  std::string dir ABSL_GUARDED_BY(mutex);
};

// Never destroyed: services may be created during static destruction.
GraphDir& TheGraphDir() {
  static GraphDir* graph_dir = new GraphDir;
  return *graph_dir;
}

}  // namespace

CaptureError CreateCaptureService(const CaptureConfig& config,
                                  std::unique_ptr<CaptureService>* service, std::string* reason) {
  service->reset();
  base::ScopedErrorCollector errors;
  auto created = std::make_unique<DramCaptureService>(config);
  const CaptureError error = created->Initialize();
  if (error == CaptureError::SUCCESS) {
    *service = std::move(created);
    return error;
  }
  created.reset();
  if (reason != nullptr) {
    *reason = ConfigFault(config);
    if (reason->empty()) *reason = errors.errors();
    if (reason->empty()) *reason = GetCaptureErrorDesc(error);
  }
  return error;
}

void SetCompiledGraphDir(const std::string& dir) {
  GraphDir& graph_dir = TheGraphDir();
  MutexLock lock(&graph_dir.mutex);
  graph_dir.dir = dir;
}

std::string GetCompiledGraphDir() {
  {
    GraphDir& graph_dir = TheGraphDir();
    MutexLock lock(&graph_dir.mutex);
    if (!graph_dir.dir.empty()) return graph_dir.dir;
  }
  // Read only here; libtalon never sets the environment.
  const char* env = std::getenv(ozy::kCompiledGraphDirVariable);
  return env != nullptr && env[0] != '\0' ? env : ozy::kDefaultCompiledGraphDir;
}

}  // namespace vireo
