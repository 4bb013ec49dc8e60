// libwarden: OEM-lock provisioning support.
//
// OemLockProvision gathers the device's identity (six system properties and the
// modem's IMEI or MEID), hashes it with SHA-256 into the 32-byte device id of a
// provisioning message, accepts a received message after checking its magic
// and command, and prints device id and nonce as hexadecimal text.
//
// Threading: no locks. One object is used by one thread at a time;
// CollectAttributes blocks for up to 5 s in the modem's client set-up and up
// to 5 s more in the message exchange. Dump writes to the process-wide
// standard output.
//
// Ownership: the client creates the object (the constructor is inline here)
// and deletes it through the virtual destructor. The object owns its strings
// and its message record; it holds no handle, file or connection between
// calls.

#ifndef OEMLOCK_OEMLOCKPROVISION_H_
#define OEMLOCK_OEMLOCKPROVISION_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Gives a declaration default visibility in libwarden.so, which is built with
// hidden visibility: the class below, its virtual table and its out-of-line
// operations.
#define WARDEN_EXPORT __attribute__((visibility("default")))

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the provisioning message is little-endian");

// The provisioning message record. Only its first 48 bytes are read or
// written by libwarden; the rest is reserved.
struct OemLockMessage {
  uint32_t magic;              // 0x4C4D454F: the bytes read "OEML"
  uint8_t command;             // 1, the only command built or accepted
  uint8_t reserved[3];         // neither read nor written
  uint8_t device_id[32];       // SHA-256 of the device identity
  uint8_t nonce[8];            // zero after Generate; taken over by Parse
  uint8_t reserved_tail[240];  // neither read nor written
};

static_assert(offsetof(OemLockMessage, magic) == 0, "magic at 0");
static_assert(offsetof(OemLockMessage, command) == 4, "command at 4");
static_assert(offsetof(OemLockMessage, device_id) == 8, "device_id at 8");
static_assert(offsetof(OemLockMessage, nonce) == 40, "nonce at 40");
static_assert(offsetof(OemLockMessage, reserved_tail) == 48, "48 bytes used");
static_assert(sizeof(OemLockMessage) == 288, "record length");

namespace orchard {
namespace hardware {
namespace oemlock {

// OemLockMessage::magic of every message built or accepted: the bytes read
// "OEML" in a little-endian record.
constexpr uint32_t kOemLockMagic = 0x4C4D454F;
// OemLockMessage::command of every message built or accepted.
constexpr uint8_t kOemLockCommand = 1;

// The device's identity and one provisioning message (the top of OemLockProvision.h):
// CollectAttributes fills the identity, Generate turns it into a message,
// Parse takes a received one over, Dump prints it. Every operation is
// virtual; the inline ones reach clients through the exported virtual table.
class WARDEN_EXPORT OemLockProvision {
 public:
  // Empty identity fields and an all-zero message.
  OemLockProvision() : message_{} {}
  // The client deletes the object through this destructor.
  virtual ~OemLockProvision() = default;

  // Replaces one identity field with a copy of `value`, a byte string taken
  // as it is (no length or character check). CollectAttributes overwrites
  // them: brand, device, product, serial number, manufacturer and model from
  // the system properties ro.product.brand, ro.product.device,
  // ro.product.name, ro.serialno, ro.product.manufacturer and
  // ro.product.model; IMEI and MEID from the modem.
  virtual void set_brand(const std::string& value) { brand_ = value; }
  virtual void set_device(const std::string& value) { device_ = value; }
  virtual void set_product(const std::string& value) { product_ = value; }
  virtual void set_serial_number(const std::string& value) { serial_number_ = value; }
  virtual void set_imei(const std::string& value) { imei_ = value; }
  virtual void set_meid(const std::string& value) { meid_ = value; }
  virtual void set_manufacturer(const std::string& value) { manufacturer_ = value; }
  virtual void set_model(const std::string& value) { model_ = value; }

  // One identity field as it stands. The reference stays valid until the
  // field next changes (its setter, CollectAttributes) or the object is
  // destroyed.
  virtual const std::string& brand() const { return brand_; }
  virtual const std::string& device() const { return device_; }
  virtual const std::string& product() const { return product_; }
  virtual const std::string& serial_number() const { return serial_number_; }
  virtual const std::string& imei() const { return imei_; }
  virtual const std::string& meid() const { return meid_; }
  virtual const std::string& manufacturer() const { return manufacturer_; }
  virtual const std::string& model() const { return model_; }
  // The message last generated or accepted (all zero before either); only
  // its first 48 bytes are meaningful.
  virtual const OemLockMessage& message() const { return message_; }

  // Takes device_id and nonce over from `record` (at least 48 readable bytes)
  // when its magic and command are right; false, with message() unchanged,
  // otherwise.
  virtual bool Parse(const OemLockMessage* record);

  // Refreshes the six property fields, then reads IMEI and MEID from the
  // modem; false when the modem could not be asked (IMEI and MEID unchanged).
  virtual bool CollectAttributes();

  // Sets magic, command and a zero nonce, then hashes the identity into
  // device_id; false when hashing failed (device_id unchanged).
  virtual bool Generate();

  // Prints two lines to standard output: `prefix` "device_id: " and 64
  // upper-case hexadecimal digits, then `prefix` "nonce: " and 16 digits.
  virtual void Dump(const std::string& prefix);

 private:
  OemLockMessage message_;
  std::string brand_;
  std::string device_;
  std::string product_;
  std::string serial_number_;
  std::string imei_;
  std::string meid_;
  std::string manufacturer_;
  std::string model_;
};

}  // namespace oemlock
}  // namespace hardware
}  // namespace orchard

#endif  // OEMLOCK_OEMLOCKPROVISION_H_
