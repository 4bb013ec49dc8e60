// The device-management service (DMS) object of the chip vendor's
// libqmiservices.
//
// Threading: may be called from any thread.

#ifndef QMI_DMS_SERVICE_H_
#define QMI_DMS_SERVICE_H_

#include <stdint.h>

#include "qmi/qmi_client.h"

#ifdef __cplusplus
extern "C" {
#endif

// The service object of the DMS interface, for the interface version
// `idl_maj_version`.`idl_min_version` built with tool version
// `library_version`; null when the service is unavailable or the interface's
// major version is not supported.
__attribute__((visibility("default"))) qmi_idl_service_object_type
dms_get_service_object_internal_v01(int32_t idl_maj_version, int32_t idl_min_version,
                                    int32_t library_version);

// The DMS message that queries the device's serial numbers.
#define QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01 0x0025

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // QMI_DMS_SERVICE_H_
