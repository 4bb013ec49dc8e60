// Fuzzes the modem-response handling of OemLockProvision::CollectAttributes.
//
// The simulated modem answers the serial-numbers query with a raw 368-byte
// response made of the input: its first 368 bytes, and where the input is
// shorter, non-NUL filler, so that texts without a terminator are common.
// IMEI and MEID must be the texts at bytes 43 and 77, each ending at its
// first NUL or at the end of the response, and never longer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "oemlock/OemLockProvision.h"
#include "platform/qmi/qmi_sim.h"

namespace {

constexpr size_t kResponseSize = 368;
constexpr size_t kImeiOffset = QMI_SIM_IMEI_OFFSET;
constexpr size_t kMeidOffset = QMI_SIM_MEID_OFFSET;

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("modem_response_fuzzer", what); }

// The text at `offset` up to its first NUL or the end of the response.
std::string TextAt(const unsigned char* response, size_t offset) {
  const char* begin = reinterpret_cast<const char*>(response + offset);
  const char* end = reinterpret_cast<const char*>(response + kResponseSize);
  return std::string(begin, std::find(begin, end, '\0'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // A modem that answers, and no properties, whatever the environment says.
  unsetenv("SIM_MODEM");
  unsetenv("SIM_PROPERTIES");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char response[kResponseSize];
  std::memset(response, 'X', sizeof(response));
  std::memcpy(response, data, std::min(size, kResponseSize));
  QmiSimSetRawResponse(response, kResponseSize);

  orchard::hardware::oemlock::OemLockProvision provision;
  if (!provision.CollectAttributes()) Fail("CollectAttributes failed");
  QmiSimSetRawResponse(nullptr, 0);

  if (provision.imei().size() > kResponseSize - kImeiOffset) Fail("IMEI longer than the response");
  if (provision.meid().size() > kResponseSize - kMeidOffset) Fail("MEID longer than the response");
  if (provision.imei() != TextAt(response, kImeiOffset)) Fail("IMEI is not the text at byte 43");
  if (provision.meid() != TextAt(response, kMeidOffset)) Fail("MEID is not the text at byte 77");
  return 0;
}
