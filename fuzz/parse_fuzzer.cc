// Fuzzes OemLockProvision::Parse with received provisioning messages.
//
// Parse reads the first 48 bytes of a record, so every input of at least 48
// bytes is handed over as it is, in a buffer of exactly its size (ASan
// reports a read past it); shorter inputs are skipped. The object already
// holds a message, so that a rejected record provably leaves message()
// unchanged and an accepted one changes exactly device_id and nonce.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "oemlock/OemLockProvision.h"

namespace {

using orchard::hardware::oemlock::kOemLockCommand;
using orchard::hardware::oemlock::kOemLockMagic;
using orchard::hardware::oemlock::OemLockProvision;

constexpr size_t kReadBytes = 48;

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("parse_fuzzer", what); }

// A record that Parse accepts, with recognisable device id and nonce.
OemLockMessage KnownMessage() {
  OemLockMessage record{};
  record.magic = kOemLockMagic;
  record.command = kOemLockCommand;
  std::memset(record.device_id, 0xA5, sizeof(record.device_id));
  std::memset(record.nonce, 0x5A, sizeof(record.nonce));
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kReadBytes) return 0;
  OemLockProvision provision;
  const OemLockMessage known = KnownMessage();
  if (!provision.Parse(&known)) Fail("the known record was rejected");
  const OemLockMessage before = provision.message();

  // operator new aligns the copy for the record's fields.
  std::vector<uint8_t> bytes(data, data + size);
  const auto* record = reinterpret_cast<const OemLockMessage*>(bytes.data());
  const bool accepted = provision.Parse(record);

  uint32_t magic = 0;
  std::memcpy(&magic, data, sizeof(magic));
  const bool acceptable = magic == kOemLockMagic && data[4] == kOemLockCommand;
  if (accepted != acceptable) Fail("accepted a wrong record or rejected a right one");

  OemLockMessage expected = before;
  if (accepted) {
    std::memcpy(expected.device_id, data + offsetof(OemLockMessage, device_id),
                sizeof(expected.device_id));
    std::memcpy(expected.nonce, data + offsetof(OemLockMessage, nonce), sizeof(expected.nonce));
  }
  if (std::memcmp(&expected, &provision.message(), sizeof(expected)) != 0) {
    Fail(accepted ? "an accepted record changed more than device_id and nonce"
                  : "a rejected record changed message()");
  }
  return 0;
}
