// The QMI client interface of the chip vendor's libqmi_cci, as far as this
// project uses it: connect to a service, exchange one synchronous message,
// close the client.
//
// On the device the vendor's library provides these functions. The host
// stand-in (libqmi_cci from this directory) simulates the modem's
// device-management service as the environment variable SIM_MODEM describes
// (see qmi_sim.h).
//
// Threading: every function may be called from any thread; one client handle
// is used by one thread at a time.

#ifndef QMI_QMI_CLIENT_H_
#define QMI_QMI_CLIENT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMI_CLIENT_EXPORT __attribute__((visibility("default")))

// Results: 0 is success, anything else a failure.
typedef int qmi_client_error_type;
#define QMI_NO_ERR 0
#define QMI_INTERNAL_ERR (-1)
#define QMI_SERVICE_ERR (-2)
#define QMI_PARAM_ERR (-3)

// Describes one QMI service; handed out by the service libraries (for the
// device-management service see dms_service.h). Owned by the library that
// handed it out; never freed by the caller.
typedef struct qmi_idl_service_object* qmi_idl_service_object_type;

// One connected client; created by qmi_client_init_instance, released by
// qmi_client_release.
typedef struct qmi_client_struct* qmi_client_type;

// Operating-system parameters of a client, owned by the caller.
typedef struct {
  int signal_set;
  int reserved[15];
} qmi_client_os_params;

// Called for indications of the service; unused by this project.
typedef void (*qmi_client_ind_cb)(qmi_client_type user_handle, unsigned int msg_id, void* ind_buf,
                                  unsigned int ind_buf_len, void* ind_cb_data);

// Any instance of a service.
#define QMI_CLIENT_INSTANCE_ANY 0xFFFF

// Connects to `instance` of `service_obj`, waiting at most `timeout_msecs`.
// On success stores the new client in `*user_handle` and returns 0.
QMI_CLIENT_EXPORT qmi_client_error_type qmi_client_init_instance(
    qmi_idl_service_object_type service_obj, unsigned int instance, qmi_client_ind_cb ind_cb,
    void* ind_cb_data, qmi_client_os_params* os_params, unsigned int timeout_msecs,
    qmi_client_type* user_handle);

// Sends message `msg_id` with the request `req_c_struct` (`req_c_struct_len`
// bytes; may be null and 0) and waits at most `timeout_msecs` for the response,
// which is decoded into `resp_c_struct` (`resp_c_struct_len` bytes).
QMI_CLIENT_EXPORT qmi_client_error_type
qmi_client_send_msg_sync(qmi_client_type user_handle, unsigned int msg_id, void* req_c_struct,
                         unsigned int req_c_struct_len, void* resp_c_struct,
                         unsigned int resp_c_struct_len, unsigned int timeout_msecs);

// Closes the client; the handle is invalid afterwards.
QMI_CLIENT_EXPORT qmi_client_error_type qmi_client_release(qmi_client_type user_handle);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // QMI_QMI_CLIENT_H_
