// Control interface of the simulated modem, for tests and tools on the host.
// The device's QMI libraries have none of this; clients never include it.
//
// The simulated modem reads the environment variable SIM_MODEM on every call:
//   unset                    a modem with the IMEI QMI_SIM_DEFAULT_IMEI and an
//                            empty MEID
//   imei=TEXT;meid=TEXT      the serial numbers (either may be empty or left
//                            out)
//   unavailable              no service object (dms_get_service_object_...
//                            returns null)
//   init_error=N             qmi_client_init_instance returns N
//   send_error=N             qmi_client_send_msg_sync returns N
// Entries are separated by ';' and may be combined. A malformed SIM_MODEM
// makes the service unavailable and says why on stderr.
//
// The serial-numbers response (message 0x0025) holds the IMEI at byte 43 and
// the MEID at byte 77, each NUL-terminated when it fits; a text that does not
// fit is written up to the end of the caller's buffer without a terminator (a
// long IMEI runs on into the MEID's bytes). An empty text writes nothing.
// Nothing else of the response is written.
//
// Threading: every function may be called from any thread.

#ifndef PLATFORM_QMI_QMI_SIM_H_
#define PLATFORM_QMI_QMI_SIM_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMI_SIM_EXPORT __attribute__((visibility("default")))

#define QMI_SIM_DEFAULT_IMEI "350000112345679"
#define QMI_SIM_IMEI_OFFSET 43
#define QMI_SIM_MEID_OFFSET 77

// Calls into libqmiservices since the last reset, with the latest arguments.
typedef struct {
  int calls;
  int32_t major, minor, tool;
} QmiSimServiceStats;

// Calls into libqmi_cci since the last reset, with the latest arguments.
typedef struct {
  int init_calls;       // qmi_client_init_instance, failed ones included
  int clients_created;  // successful qmi_client_init_instance
  int send_calls;
  int release_calls;  // qmi_client_release of a live client
  int bad_releases;   // qmi_client_release of anything else
  int live_clients;   // created and not yet released
  unsigned int init_instance, init_timeout;
  int init_had_ind_cb, init_had_os_params;
  unsigned int send_msg_id, send_request_len, send_response_len, send_timeout;
  int send_had_request;
} QmiSimClientStats;

// From libqmiservices.
QMI_SIM_EXPORT void QmiSimGetServiceStats(QmiSimServiceStats* stats);
QMI_SIM_EXPORT void QmiSimResetServiceStats(void);
// From libqmi_cci. Resetting keeps live clients alive and counted.
QMI_SIM_EXPORT void QmiSimGetClientStats(QmiSimClientStats* stats);
QMI_SIM_EXPORT void QmiSimResetClientStats(void);

// From libqmi_cci, for fuzzing the callers' response handling: while a raw
// response is set, a successful serial-numbers exchange copies its first
// min(size, response length) bytes to the start of the caller's response
// instead of writing the SIM_MODEM texts; the caller's other bytes are left
// as they were. The bytes are copied at once; null clears the raw response.
// SIM_MODEM's failure settings still apply.
QMI_SIM_EXPORT void QmiSimSetRawResponse(const void* data, uint32_t size);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PLATFORM_QMI_QMI_SIM_H_
