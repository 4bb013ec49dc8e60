#include <cstdlib>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "platform/qmi/qmi_sim.h"
#include "qmi/dms_service.h"
#include "qmi/qmi_client.h"

namespace {

class QmiSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("SIM_MODEM");
    QmiSimResetClientStats();
  }
  void TearDown() override {
    unsetenv("SIM_MODEM");
    QmiSimSetRawResponse(nullptr, 0);
  }

  // Connects, sends the serial-numbers query into `response` and releases.
  int Query(unsigned char* response, unsigned int size) {
    qmi_idl_service_object_type service = dms_get_service_object_internal_v01(1, 56, 6);
    if (service == nullptr) return 1000;
    qmi_client_os_params os_params{};
    qmi_client_type client = nullptr;
    int rc = qmi_client_init_instance(service, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr,
                                      &os_params, 5000, &client);
    if (rc != 0) return rc;
    rc = qmi_client_send_msg_sync(client, QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01, nullptr, 0,
                                  response, size, 5000);
    EXPECT_EQ(qmi_client_release(client), QMI_NO_ERR);
    return rc;
  }

  QmiSimClientStats Stats() {
    QmiSimClientStats stats;
    QmiSimGetClientStats(&stats);
    return stats;
  }
};

// Catches serial numbers written at the wrong offsets, without terminators, or
// over bytes the modem does not fill.
TEST_F(QmiSimTest, ResponseCarriesSerialNumbersAtTheirOffsets) {
  unsigned char response[368];
  std::memset(response, 0xAA, sizeof(response));
  ASSERT_EQ(Query(response, sizeof(response)), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(response + 43), QMI_SIM_DEFAULT_IMEI);
  EXPECT_EQ(response[42], 0xAA);
  EXPECT_EQ(response[77], 0xAA);  // the default MEID is empty: nothing written

  setenv("SIM_MODEM", "imei=;meid=A1000012345678", 1);
  std::memset(response, 0, sizeof(response));
  ASSERT_EQ(Query(response, sizeof(response)), 0);
  EXPECT_EQ(response[43], 0);
  EXPECT_STREQ(reinterpret_cast<char*>(response + 77), "A1000012345678");
}

// Catches a stand-in that writes past the caller's buffer for a long text.
TEST_F(QmiSimTest, LongTextStopsUnterminatedAtBufferEnd) {
  setenv("SIM_MODEM", ("imei=" + std::string(400, '7')).c_str(), 1);
  unsigned char response[369];
  std::memset(response, 0, sizeof(response));
  ASSERT_EQ(Query(response, 368), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(response + 43), 368 - 43),
            std::string(368 - 43, '7'));
  EXPECT_EQ(response[368], 0);
}

// Catches SIM_MODEM faults that are not reported the way tests rely on.
TEST_F(QmiSimTest, FailureSettings) {
  setenv("SIM_MODEM", "unavailable", 1);
  EXPECT_EQ(dms_get_service_object_internal_v01(1, 56, 6), nullptr);
  setenv("SIM_MODEM", "imei=1;bogus", 1);
  EXPECT_EQ(dms_get_service_object_internal_v01(1, 56, 6), nullptr);
  unsetenv("SIM_MODEM");
  EXPECT_EQ(dms_get_service_object_internal_v01(2, 0, 6), nullptr);

  unsigned char response[368] = {};
  setenv("SIM_MODEM", "init_error=-7", 1);
  EXPECT_EQ(Query(response, sizeof(response)), -7);
  EXPECT_EQ(Stats().init_calls, 1);
  EXPECT_EQ(Stats().clients_created, 0);
  setenv("SIM_MODEM", "imei=1;send_error=5", 1);
  EXPECT_EQ(Query(response, sizeof(response)), 5);
  EXPECT_EQ(response[43], 0);
}

// Catches counters that tests of the callers could not trust.
TEST_F(QmiSimTest, CountsClientsAndRecordsArguments) {
  unsigned char response[368] = {};
  ASSERT_EQ(Query(response, sizeof(response)), 0);
  QmiSimClientStats stats = Stats();
  EXPECT_EQ(stats.clients_created, 1);
  EXPECT_EQ(stats.release_calls, 1);
  EXPECT_EQ(stats.live_clients, 0);
  EXPECT_EQ(stats.init_instance, 0xFFFFu);
  EXPECT_EQ(stats.send_msg_id, 0x25u);
  EXPECT_EQ(stats.send_response_len, 368u);
  EXPECT_EQ(qmi_client_release(nullptr), QMI_PARAM_ERR);
  EXPECT_EQ(Stats().bad_releases, 1);
  QmiSimServiceStats service;
  QmiSimGetServiceStats(&service);
  EXPECT_EQ(service.minor, 56);
}

// Catches a raw response that is copied past the caller's buffer, over bytes
// it does not cover, alongside the SIM_MODEM texts, or that outlives a clear
// or hides a configured send failure.
TEST_F(QmiSimTest, RawResponseReplacesTheTexts) {
  std::string raw(400, 'R');
  raw[50] = '\0';
  QmiSimSetRawResponse(raw.data(), static_cast<uint32_t>(raw.size()));
  raw.assign(400, 'Z');  // the hook keeps its own copy
  unsigned char response[369];
  std::memset(response, 0xAA, sizeof(response));
  ASSERT_EQ(Query(response, 368), 0);
  EXPECT_EQ(response[0], 'R');
  EXPECT_EQ(response[50], 0);
  EXPECT_EQ(response[367], 'R');
  EXPECT_EQ(response[368], 0xAA);

  // A short response leaves the rest of the caller's bytes alone.
  const unsigned char shorter[3] = {1, 2, 3};
  QmiSimSetRawResponse(shorter, sizeof(shorter));
  std::memset(response, 0xAA, sizeof(response));
  ASSERT_EQ(Query(response, 368), 0);
  EXPECT_EQ(response[2], 3);
  EXPECT_EQ(response[3], 0xAA);
  EXPECT_EQ(response[43], 0xAA);  // no default IMEI written

  setenv("SIM_MODEM", "send_error=4", 1);
  EXPECT_EQ(Query(response, 368), 4);
  unsetenv("SIM_MODEM");

  QmiSimSetRawResponse(nullptr, 0);
  std::memset(response, 0, sizeof(response));
  ASSERT_EQ(Query(response, 368), 0);
  EXPECT_EQ(response[0], 0);
  EXPECT_STREQ(reinterpret_cast<char*>(response + 43), QMI_SIM_DEFAULT_IMEI);
}

}  // namespace
