// Identity collection, Parse, Dump and the class's binary shape.

#include "oemlock/OemLockProvision.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "pbase/logging.h"
#include "platform/qmi/qmi_sim.h"
#include "testing/log_capture.h"
#include "testing/sim_device.h"
#include "testing/temp_dir.h"

namespace orchard {
namespace hardware {
namespace oemlock {
namespace {

class CollectAttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QmiSimResetClientStats();
    QmiSimResetServiceStats();
  }
  void ExpectProperties(const OemLockProvision& p) {
    EXPECT_EQ(p.brand(), "acme");
    EXPECT_EQ(p.device(), "falcon");
    EXPECT_EQ(p.product(), "falcon_eu");
    EXPECT_EQ(p.serial_number(), "SN0001");
    EXPECT_EQ(p.manufacturer(), "Acme Inc");
    EXPECT_EQ(p.model(), "Falcon 2");
  }
  static QmiSimClientStats ClientStats() {
    QmiSimClientStats stats;
    QmiSimGetClientStats(&stats);
    return stats;
  }

  talon_testing::TempDir dir_;
  talon_testing::SimDevice device_{dir_.path(), ""};
};

// Catches properties mapped to the wrong fields, modem calls with other
// arguments than the device's libraries expect, and a leaked client.
TEST_F(CollectAttributesTest, ReadsPropertiesAndModem) {
  setenv("SIM_MODEM", "imei=490000000000001;meid=A0000000000001", 1);
  OemLockProvision p;
  talon_testing::ScopedPlatformLogCapture log;
  ASSERT_TRUE(p.CollectAttributes());
  ExpectProperties(p);
  EXPECT_EQ(p.imei(), "490000000000001");
  EXPECT_EQ(p.meid(), "A0000000000001");
  EXPECT_TRUE(log.Messages(pbase::ERROR).empty());

  QmiSimServiceStats service;
  QmiSimGetServiceStats(&service);
  EXPECT_EQ(service.calls, 1);
  EXPECT_EQ(service.major, 1);
  EXPECT_EQ(service.minor, 56);
  EXPECT_EQ(service.tool, 6);
  const QmiSimClientStats stats = ClientStats();
  EXPECT_EQ(stats.init_instance, 0xFFFFu);
  EXPECT_FALSE(stats.init_had_ind_cb);
  EXPECT_TRUE(stats.init_had_os_params);
  EXPECT_EQ(stats.init_timeout, 5000u);
  EXPECT_EQ(stats.send_msg_id, 0x0025u);
  EXPECT_FALSE(stats.send_had_request);
  EXPECT_EQ(stats.send_request_len, 0u);
  EXPECT_EQ(stats.send_response_len, 368u);
  EXPECT_EQ(stats.send_timeout, 5000u);
  EXPECT_EQ(stats.release_calls, 1);
  EXPECT_EQ(stats.live_clients, 0);
}

// Catches stale values kept from an earlier call when the properties are gone.
TEST_F(CollectAttributesTest, UnsetPropertiesBecomeEmpty) {
  OemLockProvision p;
  ASSERT_TRUE(p.CollectAttributes());
  ExpectProperties(p);
  unsetenv("SIM_PROPERTIES");
  ASSERT_TRUE(p.CollectAttributes());
  EXPECT_EQ(p.brand(), "");
  EXPECT_EQ(p.device(), "");
  EXPECT_EQ(p.product(), "");
  EXPECT_EQ(p.serial_number(), "");
  EXPECT_EQ(p.manufacturer(), "");
  EXPECT_EQ(p.model(), "");
  EXPECT_EQ(p.imei(), QMI_SIM_DEFAULT_IMEI);
  EXPECT_EQ(p.meid(), "");
}

// Catches a missing service object that is not reported, skips the property
// refresh, or clobbers the serial numbers the caller set.
TEST_F(CollectAttributesTest, NoServiceObject) {
  setenv("SIM_MODEM", "unavailable", 1);
  OemLockProvision p;
  p.set_imei("kept-imei");
  p.set_meid("kept-meid");
  talon_testing::ScopedPlatformLogCapture log;
  EXPECT_FALSE(p.CollectAttributes());
  EXPECT_EQ(log.Messages(pbase::ERROR),
            std::vector<std::string>{"QMI client service object (NULL)"});
  ExpectProperties(p);
  EXPECT_EQ(p.imei(), "kept-imei");
  EXPECT_EQ(p.meid(), "kept-meid");
  EXPECT_EQ(ClientStats().init_calls, 0);
}

// Catches a release of a client that never existed, and the wrong error text.
TEST_F(CollectAttributesTest, InitFailureReleasesNothing) {
  setenv("SIM_MODEM", "init_error=-4", 1);
  OemLockProvision p;
  talon_testing::ScopedPlatformLogCapture log;
  EXPECT_FALSE(p.CollectAttributes());
  EXPECT_EQ(log.Messages(pbase::ERROR),
            std::vector<std::string>{"QMI client initialization error: -4"});
  const QmiSimClientStats stats = ClientStats();
  EXPECT_EQ(stats.init_calls, 1);
  EXPECT_EQ(stats.release_calls, 0);
  EXPECT_EQ(stats.bad_releases, 0);
  EXPECT_EQ(stats.send_calls, 0);
  ExpectProperties(p);
}

// Catches a client leaked or released twice when the exchange fails.
TEST_F(CollectAttributesTest, SendFailureReleasesOnce) {
  setenv("SIM_MODEM", "imei=123;send_error=17", 1);
  OemLockProvision p;
  p.set_imei("kept");
  talon_testing::ScopedPlatformLogCapture log;
  EXPECT_FALSE(p.CollectAttributes());
  EXPECT_EQ(log.Messages(pbase::ERROR),
            std::vector<std::string>{"QMI client failed to collect modem data: 17"});
  const QmiSimClientStats stats = ClientStats();
  EXPECT_EQ(stats.release_calls, 1);
  EXPECT_EQ(stats.bad_releases, 0);
  EXPECT_EQ(stats.live_clients, 0);
  EXPECT_EQ(p.imei(), "kept");
}

// Catches an IMEI read from stale buffer content when the modem reports none.
TEST_F(CollectAttributesTest, MeidOnly) {
  setenv("SIM_MODEM", "imei=;meid=A1000012345678", 1);
  OemLockProvision p;
  p.set_imei("old");
  ASSERT_TRUE(p.CollectAttributes());
  EXPECT_EQ(p.imei(), "");
  EXPECT_EQ(p.meid(), "A1000012345678");
}

// Catches reading the serial numbers past the 368-byte response when the
// modem leaves them unterminated (AddressSanitizer reports the overrun).
TEST_F(CollectAttributesTest, UnterminatedTextsStopAtResponseEnd) {
  setenv("SIM_MODEM", ("imei=" + std::string(400, '7')).c_str(), 1);
  OemLockProvision p;
  ASSERT_TRUE(p.CollectAttributes());
  EXPECT_EQ(p.imei(), std::string(368 - 43, '7'));
  EXPECT_EQ(p.meid(), std::string(368 - 77, '7'));

  setenv("SIM_MODEM", ("imei=1;meid=" + std::string(300, 'M')).c_str(), 1);
  ASSERT_TRUE(p.CollectAttributes());
  EXPECT_EQ(p.imei(), "1");
  EXPECT_EQ(p.meid(), std::string(368 - 77, 'M'));
}

// Catches setters that alias their argument or break on self-assignment.
TEST(OemLockProvisionFields, SetAndGet) {
  OemLockProvision p;
  EXPECT_EQ(p.model(), "");
  std::string model = "Model X";
  p.set_model(model);
  model = "changed";
  EXPECT_EQ(p.model(), "Model X");
  p.set_model(p.model());
  EXPECT_EQ(p.model(), "Model X");
  p.set_serial_number(std::string("a\0b", 3));
  EXPECT_EQ(p.serial_number().size(), 3u);
}

// Where a pointer to a virtual member function keeps its vtable offset
// (Itanium C++ ABI; the Arm variant keeps the virtual flag in the adjustment).
template <typename Member>
size_t Slot(Member member) {
  struct Representation {
    uintptr_t pointer;
    ptrdiff_t adjustment;
  } r;
  static_assert(sizeof(member) == sizeof(r), "Itanium member pointer");
  std::memcpy(&r, &member, sizeof(r));
#if defined(__arm__) || defined(__aarch64__)
  return r.pointer / sizeof(void*);
#else
  return (r.pointer - 1) / sizeof(void*);
#endif
}

// Catches virtual operations declared in another order than the device's
// clients were compiled against (the destructor takes slots 0 and 1).
TEST(OemLockProvisionAbi, VirtualSlotOrder) {
  using P = OemLockProvision;
  EXPECT_EQ(Slot(&P::set_brand), 2u);
  EXPECT_EQ(Slot(&P::set_device), 3u);
  EXPECT_EQ(Slot(&P::set_product), 4u);
  EXPECT_EQ(Slot(&P::set_serial_number), 5u);
  EXPECT_EQ(Slot(&P::set_imei), 6u);
  EXPECT_EQ(Slot(&P::set_meid), 7u);
  EXPECT_EQ(Slot(&P::set_manufacturer), 8u);
  EXPECT_EQ(Slot(&P::set_model), 9u);
  EXPECT_EQ(Slot(&P::brand), 10u);
  EXPECT_EQ(Slot(&P::device), 11u);
  EXPECT_EQ(Slot(&P::product), 12u);
  EXPECT_EQ(Slot(&P::serial_number), 13u);
  EXPECT_EQ(Slot(&P::imei), 14u);
  EXPECT_EQ(Slot(&P::meid), 15u);
  EXPECT_EQ(Slot(&P::manufacturer), 16u);
  EXPECT_EQ(Slot(&P::model), 17u);
  EXPECT_EQ(Slot(&P::message), 18u);
  EXPECT_EQ(Slot(&P::Parse), 19u);
  EXPECT_EQ(Slot(&P::CollectAttributes), 20u);
  EXPECT_EQ(Slot(&P::Generate), 21u);
  EXPECT_EQ(Slot(&P::Dump), 22u);
}

// Catches a constructor that leaves the record uninitialised, and a client
// that cannot delete the object through the base pointer.
TEST(OemLockProvisionAbi, FreshObjectHasZeroRecord) {
  std::unique_ptr<OemLockProvision> p(new OemLockProvision);
  const OemLockMessage zero{};
  EXPECT_EQ(std::memcmp(&p->message(), &zero, sizeof(zero)), 0);
}

OemLockMessage ValidRecord() {
  OemLockMessage record;
  std::memset(&record, 0xEE, sizeof(record));
  std::memcpy(&record.magic, "OEML", 4);
  record.command = 1;
  for (int i = 0; i < 32; ++i) record.device_id[i] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < 8; ++i) record.nonce[i] = static_cast<uint8_t>(0xA0 + i);
  return record;
}

// Catches a bad record that is accepted, reported with the wrong reason, or
// partly copied before it is rejected.
TEST(OemLockProvisionParse, RejectsWrongMagicOrCommand) {
  OemLockProvision p;
  ASSERT_TRUE(p.Generate());
  OemLockMessage before;
  std::memcpy(&before, &p.message(), sizeof(before));

  talon_testing::ScopedPlatformLogCapture log;
  OemLockMessage wrong_command = ValidRecord();
  wrong_command.command = 2;
  EXPECT_FALSE(p.Parse(&wrong_command));
  OemLockMessage swapped = ValidRecord();
  std::memcpy(&swapped.magic, "LMEO", 4);
  EXPECT_FALSE(p.Parse(&swapped));
  swapped.command = 2;
  EXPECT_FALSE(p.Parse(&swapped));
  EXPECT_EQ(
      log.Messages(pbase::ERROR),
      (std::vector<std::string>{"Parse: Incorrect message command", "Parse: Incorrect magic value",
                                "Parse: Incorrect magic value"}));
  EXPECT_EQ(std::memcmp(&p.message(), &before, sizeof(before)), 0);
}

// Catches Parse copying more than device id and nonce (magic, command or the
// reserved bytes), or reading past the 48 bytes a sender guarantees.
TEST(OemLockProvisionParse, CopiesOnlyDeviceIdAndNonce) {
  const OemLockMessage full = ValidRecord();
  std::unique_ptr<unsigned char[]> short_record(new unsigned char[48]);
  std::memcpy(short_record.get(), &full, 48);
  OemLockProvision p;
  ASSERT_TRUE(p.Parse(reinterpret_cast<const OemLockMessage*>(short_record.get())));
  const OemLockMessage& m = p.message();
  EXPECT_EQ(m.magic, 0u);
  EXPECT_EQ(m.command, 0);
  EXPECT_EQ(std::memcmp(m.device_id, full.device_id, 32), 0);
  EXPECT_EQ(std::memcmp(m.nonce, full.nonce, 8), 0);
  for (uint8_t byte : m.reserved) EXPECT_EQ(byte, 0);
  for (uint8_t byte : m.reserved_tail) EXPECT_EQ(byte, 0);
}

std::string DumpOf(OemLockProvision& p, const std::string& prefix) {
  ::testing::internal::CaptureStdout();
  p.Dump(prefix);
  return ::testing::internal::GetCapturedStdout();
}

// Catches lower-case digits, swapped nibbles, separators, reversed nonce
// bytes or a missing prefix on the second line.
TEST(OemLockProvisionDump, PrintsTwoHexLines) {
  OemLockProvision p;
  OemLockMessage record = ValidRecord();
  std::memset(record.nonce, 0, 8);
  record.nonce[0] = 0x01;
  record.device_id[0] = 0xAB;
  record.device_id[31] = 0x0F;
  ASSERT_TRUE(p.Parse(&record));
  EXPECT_EQ(DumpOf(p, "> "),
            "> device_id: AB02030405060708090A0B0C0D0E0F10"
            "1112131415161718191A1B1C1D1E1F0F\n"
            "> nonce: 0100000000000000\n");
}

// Catches a Dump after Generate that prints anything but 64 upper-case digits
// and a zero nonce.
TEST(OemLockProvisionDump, AfterGenerateWithEmptyPrefix) {
  OemLockProvision p;
  ASSERT_TRUE(p.Generate());
  const std::string out = DumpOf(p, "");
  ASSERT_EQ(out.size(), 11u + 64 + 1 + 7 + 16 + 1);
  EXPECT_EQ(out.substr(0, 11), "device_id: ");
  EXPECT_EQ(out.find_first_not_of("0123456789ABCDEF", 11), 75u);
  EXPECT_EQ(out.substr(75), "\nnonce: 0000000000000000\n");
}

}  // namespace
}  // namespace oemlock
}  // namespace hardware
}  // namespace orchard
