// The device id: its preimage, its digest and every failure of Generate.

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "oemlock/OemLockProvision.h"
#include "pbase/logging.h"
#include "testing/log_capture.h"
#include "testing/sha256_digest.h"
#include "testing/sha256_failpoint.h"

namespace orchard {
namespace hardware {
namespace oemlock {
namespace {

using talon_testing::Sha256;
using talon_testing::ShaCall;

std::string Frame(const std::string& field) {
  return std::string(1, static_cast<char>(field.size() & 0xFF)) + field;
}

std::string DeviceId(const OemLockProvision& p) {
  return std::string(reinterpret_cast<const char*>(p.message().device_id), 32);
}

void SetAll(OemLockProvision* p) {
  p->set_brand("acme");
  p->set_device("falcon");
  p->set_product("falcon_eu");
  p->set_serial_number("SN0001");
  p->set_imei("490000000000001");
  p->set_meid("A0000000000001");
  p->set_manufacturer("Acme Inc");
  p->set_model("Falcon 2");
}

class GenerateTest : public ::testing::Test {
 protected:
  void SetUp() override { talon_testing::ResetShaFailpoints(); }
  void TearDown() override { talon_testing::ResetShaFailpoints(); }
};

// Catches a wrong framing of empty fields or a header that is not set.
TEST_F(GenerateTest, AllEmptyFieldsHashSevenZeroBytes) {
  OemLockProvision p;
  ASSERT_TRUE(p.Generate());
  EXPECT_EQ(DeviceId(p), Sha256(std::string(7, '\0')));
  EXPECT_EQ(std::memcmp(&p.message().magic, "OEML", 4), 0);
  EXPECT_EQ(p.message().command, 1);
  const uint8_t zero[8] = {};
  EXPECT_EQ(std::memcmp(p.message().nonce, zero, 8), 0);
}

// Catches fields hashed in the wrong order, without their length byte, with a
// terminator, or with a length byte wider than its low 8 bits.
TEST_F(GenerateTest, PreimageFramesEachFieldWithItsLength) {
  OemLockProvision p;
  p.set_brand("abc");
  ASSERT_TRUE(p.Generate());
  EXPECT_EQ(DeviceId(p), Sha256(std::string("\x03"
                                            "abc",
                                            4) +
                                std::string(6, '\0')));

  SetAll(&p);
  const std::string long_model(300, 'z');
  p.set_model(long_model);
  ASSERT_TRUE(p.Generate());
  EXPECT_EQ(DeviceId(p), Sha256(Frame("acme") + Frame("falcon") + Frame("falcon_eu") +
                                Frame("SN0001") + Frame("490000000000001") + Frame("Acme Inc") +
                                std::string(1, static_cast<char>(300 & 0xFF)) + long_model));
}

// Catches the MEID hashed beside the IMEI, or an empty fifth field skipped.
TEST_F(GenerateTest, ImeiElseMeid) {
  OemLockProvision with_imei;
  SetAll(&with_imei);
  ASSERT_TRUE(with_imei.Generate());
  const std::string first = DeviceId(with_imei);
  with_imei.set_meid("something else");
  ASSERT_TRUE(with_imei.Generate());
  EXPECT_EQ(DeviceId(with_imei), first);

  OemLockProvision meid_only;
  meid_only.set_meid("A0000000000001");
  ASSERT_TRUE(meid_only.Generate());
  EXPECT_EQ(DeviceId(meid_only),
            Sha256(std::string(4, '\0') + Frame("A0000000000001") + std::string(2, '\0')));
}

// Catches a concatenation that lets a character move between fields unseen.
TEST_F(GenerateTest, MovingACharacterBetweenFieldsChangesTheId) {
  OemLockProvision a;
  a.set_brand("ab");
  a.set_device("c");
  OemLockProvision b;
  b.set_brand("a");
  b.set_device("bc");
  ASSERT_TRUE(a.Generate());
  ASSERT_TRUE(b.Generate());
  EXPECT_NE(DeviceId(a), DeviceId(b));
}

// Catches missing or misplaced log lines of a successful run, and a nonce
// taken over by Parse that survives Generate.
TEST_F(GenerateTest, LogsEachFieldAndClearsNonce) {
  OemLockProvision p;
  OemLockMessage record{};
  std::memcpy(&record.magic, "OEML", 4);
  record.command = 1;
  std::memset(record.nonce, 0x55, 8);
  ASSERT_TRUE(p.Parse(&record));
  SetAll(&p);
  talon_testing::ScopedPlatformLogCapture log;
  ASSERT_TRUE(p.Generate());
  EXPECT_EQ(log.Messages(pbase::INFO),
            (std::vector<std::string>{
                "Generate: running", "Adding 'acme' to device id hash",
                "Adding 'falcon' to device id hash", "Adding 'falcon_eu' to device id hash",
                "Adding 'SN0001' to device id hash", "Adding '490000000000001' to device id hash",
                "Adding 'Acme Inc' to device id hash", "Adding 'Falcon 2' to device id hash"}));
  EXPECT_TRUE(log.Messages(pbase::ERROR).empty());
  const uint8_t zero[8] = {};
  EXPECT_EQ(std::memcmp(p.message().nonce, zero, 8), 0);
}

// Runs Generate with one SHA-256 call failing and checks the single ERROR line,
// the header written first and the device id left as it was.
void ExpectFailure(OemLockProvision* p, ShaCall call, int nth, const std::string& message) {
  SCOPED_TRACE(message);
  OemLockMessage record{};
  std::memcpy(&record.magic, "OEML", 4);
  record.command = 1;
  std::memset(record.device_id, 0x5A, 32);
  std::memset(record.nonce, 0x33, 8);
  ASSERT_TRUE(p->Parse(&record));
  talon_testing::ScopedPlatformLogCapture log;
  talon_testing::FailShaCall(call, nth);
  EXPECT_FALSE(p->Generate());
  talon_testing::ResetShaFailpoints();
  EXPECT_EQ(log.Messages(pbase::ERROR), std::vector<std::string>{message});
  EXPECT_EQ(std::memcmp(p->message().device_id, record.device_id, 32), 0);
  const uint8_t zero[8] = {};
  EXPECT_EQ(std::memcmp(p->message().nonce, zero, 8), 0);
  EXPECT_EQ(p->message().magic, kOemLockMagic);
}

// Catches a failed init, update or final that is reported as success, with
// the wrong field, code or text, or that changes the device id.
TEST_F(GenerateTest, EverySha256FailureIsReported) {
  OemLockProvision p;
  SetAll(&p);
  ExpectFailure(&p, ShaCall::kInit, 1, "Generate: Unable to initialize SHA256 context");
  ExpectFailure(&p, ShaCall::kFinal, 1, "Generate: Failed to finalize hash");

  const char* const kFields[] = {"brand_", "device_",       "product_", "serial_number_",
                                 "imei_",  "manufacturer_", "model_"};
  for (int i = 0; i < 7; ++i) {
    const std::string field = std::string("Generate: Failed to hash ") + kFields[i];
    ExpectFailure(&p, ShaCall::kUpdate, 2 * i + 1, field + ":-2");
    ExpectFailure(&p, ShaCall::kUpdate, 2 * i + 2, field + ":-3");
  }

  p.set_imei("");
  ExpectFailure(&p, ShaCall::kUpdate, 9, "Generate: Failed to hash meid_:-2");
  ExpectFailure(&p, ShaCall::kUpdate, 10, "Generate: Failed to hash meid_:-3");
}

// Catches the seam itself not reaching libwarden's calls, which would make the
// failure tests above pass vacuously.
TEST_F(GenerateTest, SeamSeesEveryCall) {
  OemLockProvision p;
  ASSERT_TRUE(p.Generate());
  EXPECT_EQ(talon_testing::ShaCallCount(ShaCall::kInit), 1);
  EXPECT_EQ(talon_testing::ShaCallCount(ShaCall::kUpdate), 14);
  EXPECT_EQ(talon_testing::ShaCallCount(ShaCall::kFinal), 1);
}

}  // namespace
}  // namespace oemlock
}  // namespace hardware
}  // namespace orchard
