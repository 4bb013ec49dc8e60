// What a service object is in the QMI stand-ins. Internal to them.

#ifndef PLATFORM_QMI_SERVICE_OBJECT_H_
#define PLATFORM_QMI_SERVICE_OBJECT_H_

#include <stdint.h>

struct qmi_idl_service_object {
  uint32_t magic;
  int32_t major_version;
};

namespace qmi_sim {
constexpr uint32_t kDmsServiceMagic = 0x444D5331;  // "DMS1"
}  // namespace qmi_sim

#endif  // PLATFORM_QMI_SERVICE_OBJECT_H_
