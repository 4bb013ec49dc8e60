// Host stand-in of libqmi_cci: clients of the simulated device-management
// service, as SIM_MODEM describes it.

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/qmi/modem_config.h"
#include "platform/qmi/qmi_sim.h"
#include "platform/qmi/service_object.h"
#include "qmi/dms_service.h"
#include "qmi/qmi_client.h"

struct qmi_client_struct {
  const qmi_idl_service_object* service;
};

namespace {

vireo::Mutex g_mutex;
QmiSimClientStats g_stats ABSL_GUARDED_BY(g_mutex) = {};
std::set<qmi_client_type>* g_live ABSL_GUARDED_BY(g_mutex) =
    new std::set<qmi_client_type>;  // never freed: outlives every client
// The raw response of QmiSimSetRawResponse; null while none is set.
std::string* g_raw_response ABSL_GUARDED_BY(g_mutex) = nullptr;

bool IsLive(qmi_client_type client) ABSL_EXCLUSIVE_LOCKS_REQUIRED(g_mutex) {
  return g_live->count(client) != 0;
}

// Writes `text` at `offset` of the `size`-byte response: NUL-terminated when it
// fits, otherwise cut at the end of the buffer without a terminator.
void WriteText(unsigned char* response, size_t size, size_t offset, const std::string& text) {
  if (text.empty() || offset >= size) return;
  const size_t length = std::min(text.size(), size - offset);
  std::memcpy(response + offset, text.data(), length);
  if (offset + length < size) response[offset + length] = '\0';
}

}  // namespace

extern "C" qmi_client_error_type qmi_client_init_instance(
    qmi_idl_service_object_type service_obj, unsigned int instance, qmi_client_ind_cb ind_cb,
    void* /*ind_cb_data*/, qmi_client_os_params* os_params, unsigned int timeout_msecs,
    qmi_client_type* user_handle) {
  vireo::MutexLock lock(&g_mutex);
  ++g_stats.init_calls;
  g_stats.init_instance = instance;
  g_stats.init_timeout = timeout_msecs;
  g_stats.init_had_ind_cb = ind_cb != nullptr;
  g_stats.init_had_os_params = os_params != nullptr;
  if (user_handle == nullptr || os_params == nullptr) return QMI_PARAM_ERR;
  if (service_obj == nullptr || service_obj->magic != qmi_sim::kDmsServiceMagic) {
    return QMI_SERVICE_ERR;
  }
  const qmi_sim::ModemConfig config = qmi_sim::ReadModemConfig();
  if (config.init_error != 0) return config.init_error;
  qmi_client_type client = new qmi_client_struct{service_obj};
  g_live->insert(client);
  ++g_stats.clients_created;
  ++g_stats.live_clients;
  *user_handle = client;
  return QMI_NO_ERR;
}

extern "C" qmi_client_error_type qmi_client_send_msg_sync(qmi_client_type user_handle,
                                                          unsigned int msg_id, void* req_c_struct,
                                                          unsigned int req_c_struct_len,
                                                          void* resp_c_struct,
                                                          unsigned int resp_c_struct_len,
                                                          unsigned int timeout_msecs) {
  vireo::MutexLock lock(&g_mutex);
  ++g_stats.send_calls;
  g_stats.send_msg_id = msg_id;
  g_stats.send_had_request = req_c_struct != nullptr;
  g_stats.send_request_len = req_c_struct_len;
  g_stats.send_response_len = resp_c_struct_len;
  g_stats.send_timeout = timeout_msecs;
  if (!IsLive(user_handle)) return QMI_PARAM_ERR;
  if (msg_id != QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01) return QMI_SERVICE_ERR;
  if (resp_c_struct == nullptr) return QMI_PARAM_ERR;
  const qmi_sim::ModemConfig config = qmi_sim::ReadModemConfig();
  if (config.send_error != 0) return config.send_error;
  auto* response = static_cast<unsigned char*>(resp_c_struct);
  if (g_raw_response != nullptr) {
    const size_t length = std::min<size_t>(g_raw_response->size(), resp_c_struct_len);
    std::memcpy(response, g_raw_response->data(), length);
    return QMI_NO_ERR;
  }
  WriteText(response, resp_c_struct_len, QMI_SIM_IMEI_OFFSET, config.imei);
  WriteText(response, resp_c_struct_len, QMI_SIM_MEID_OFFSET, config.meid);
  return QMI_NO_ERR;
}

extern "C" qmi_client_error_type qmi_client_release(qmi_client_type user_handle) {
  vireo::MutexLock lock(&g_mutex);
  if (!IsLive(user_handle)) {
    ++g_stats.bad_releases;
    return QMI_PARAM_ERR;
  }
  g_live->erase(user_handle);
  delete user_handle;
  ++g_stats.release_calls;
  --g_stats.live_clients;
  return QMI_NO_ERR;
}

extern "C" void QmiSimGetClientStats(QmiSimClientStats* stats) {
  vireo::MutexLock lock(&g_mutex);
  *stats = g_stats;
}

extern "C" void QmiSimResetClientStats(void) {
  vireo::MutexLock lock(&g_mutex);
  const int live = g_stats.live_clients;
  g_stats = QmiSimClientStats{};
  g_stats.live_clients = live;
}

extern "C" void QmiSimSetRawResponse(const void* data, uint32_t size) {
  std::string* replaced = nullptr;
  {
    vireo::MutexLock lock(&g_mutex);
    replaced = g_raw_response;
    g_raw_response =
        data == nullptr ? nullptr : new std::string(static_cast<const char*>(data), size);
  }
  delete replaced;
}
