// Host stand-in of libqmiservices: the device-management service object.

#include "qmi/dms_service.h"

#include <cstdio>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/qmi/modem_config.h"
#include "platform/qmi/qmi_sim.h"
#include "platform/qmi/service_object.h"

namespace {

vireo::Mutex g_mutex;
QmiSimServiceStats g_stats ABSL_GUARDED_BY(g_mutex) = {};

qmi_idl_service_object g_dms_service = {qmi_sim::kDmsServiceMagic, 1};

}  // namespace

extern "C" qmi_idl_service_object_type dms_get_service_object_internal_v01(
    int32_t idl_maj_version, int32_t idl_min_version, int32_t library_version) {
  {
    vireo::MutexLock lock(&g_mutex);
    ++g_stats.calls;
    g_stats.major = idl_maj_version;
    g_stats.minor = idl_min_version;
    g_stats.tool = library_version;
  }
  const qmi_sim::ModemConfig config = qmi_sim::ReadModemConfig();
  if (!config.valid) {
    std::fprintf(stderr, "qmi stand-in: SIM_MODEM: %s\n", config.error.c_str());
    return nullptr;
  }
  if (config.unavailable) return nullptr;
  if (idl_maj_version != g_dms_service.major_version) return nullptr;
  return &g_dms_service;
}

extern "C" void QmiSimGetServiceStats(QmiSimServiceStats* stats) {
  vireo::MutexLock lock(&g_mutex);
  *stats = g_stats;
}

extern "C" void QmiSimResetServiceStats(void) {
  vireo::MutexLock lock(&g_mutex);
  g_stats = QmiSimServiceStats{};
}
