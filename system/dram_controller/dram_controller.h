// Tuning of the IPU's DRAM controller (AXI port priorities and age counts)
// through the text files that the controller's kernel driver publishes under
// sysfs.
//
// SysFileInterface is the file abstraction the tuning code talks through: write
// a text into a named file, read the first line of a named file. Its production
// implementation, ReadWriteSysFile, opens the file anew on every call and closes
// it before returning. DramController formats each register write as a short
// text command ("<index>;0x<value>") for the driver and hands it to its
// SysFileInterface; on top of the single-register operations it offers two
// fixed settings. The free functions in vireo::dram_controller apply a setting
// with a controller of their own.
//
// Failures are logged at ERROR severity and never abort the process: the file
// layer returns -1, the register operations log and write nothing further.
// A settings sequence, and each operation that writes several registers, stops
// at its first failed register write; no register ever receives an age count
// above 255, and addresses outside the controller's register block
// (DramController::kRegisterBlockFirst to kRegisterBlockLast, 4-byte aligned)
// are refused before anything is written.
//
// Threading: no locks and no shared state. ReadWriteSysFile may be called from
// any thread. A DramController is used by one thread at a time; two controllers
// may run at once, but a register read is two separate file operations (select,
// then read), so overlapping reads may each see the register the other selected.
// Ownership: a DramController owns its SysFileInterface and destroys it with
// itself.

#ifndef SYSTEM_DRAM_CONTROLLER_DRAM_CONTROLLER_H_
#define SYSTEM_DRAM_CONTROLLER_DRAM_CONTROLLER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/export.h"

namespace vireo {

// Text-file access: write a text into a file, read a file's first line.
// Both operations return 0 on success and -1 on failure.
class TALON_EXPORT SysFileInterface {
 public:
  // Out of line, so that the class's virtual table lives in libtalon.
  virtual ~SysFileInterface();

  // Stores `input` into the file `path`, replacing its contents; no byte is
  // added.
  virtual int Write(const std::string& path, const std::string& input) = 0;

  // Reads the first line of the file `path`, without its newline, into
  // `*output`; whatever `*output` held before is discarded.
  virtual int Read(const std::string& path, std::string* output) = 0;
};

// The production file access: buffered text streams, opened and closed on
// every call. A write succeeds only when the text reached the file, including
// the final flush and close, so a command that the driver refuses is reported.
class TALON_EXPORT ReadWriteSysFile : public SysFileInterface {
 public:
  ReadWriteSysFile() = default;
  ~ReadWriteSysFile() override = default;

  int Write(const std::string& path, const std::string& input) override;
  int Read(const std::string& path, std::string* output) override;
};

// Sets the quality-of-service registers of the DRAM controller through the
// driver's write file and reads registers through its read file
// (dram_controller::kWriteFilePath and kReadFilePath below).
class TALON_EXPORT DramController {
 public:
  // A priority level, written into an 8-bit register field.
  enum ReadWritePriorityValue : uint32_t {
    kPriorityLevel0 = 0,
    kPriorityLevel1 = 1,
  };

  // The largest command age count that WriteCommandAgeCount writes (the
  // register field is 8 bits wide).
  static constexpr uint32_t kCommandAgeCountMaxValue = 255;
  // The largest age count that WriteAgeCount writes (an 8-bit field).
  static constexpr uint32_t kAgeCountMaxValue = 255;

  // The controller's register block: 1024 registers of 32 bits, at addresses
  // kRegisterBlockFirst to kRegisterBlockLast in steps of 4.
  static constexpr uint32_t kRegisterBlockFirst = 0x04008000;
  static constexpr uint32_t kRegisterBlockLast = 0x04008FFC;

  // The tuned registers: port 0 priorities, port 0 enable, port 1, command age
  // count, age count.
  static const uint32_t kAxiRegisterAddress[5];

  // Talks to the driver files through a ReadWriteSysFile of its own.
  DramController();
  // Takes over `sys_file`; the argument is left empty.
  explicit DramController(std::unique_ptr<SysFileInterface> sys_file);
  ~DramController();
  DramController(const DramController&) = delete;
  DramController& operator=(const DramController&) = delete;

  // Writes `text` into the write file; returns the file layer's result.
  int WriteSysFile(const std::string& text);
  // Writes `text` into the read file, then reads the read file's first line
  // into `*output`; returns the file layer's result (the first failure).
  int ReadSysFile(const std::string& text, std::string* output);

  // Sends one register command. Failures are logged; nothing is returned.
  void WriteRegister(uint32_t address, uint32_t value);
  // Returns the line that the driver gives for the register, unparsed; empty
  // when the address is refused or the exchange with the driver fails.
  std::string ReadRegister(uint32_t address);

  // Sets AXI port 0's read and write priorities: disables the port's
  // priorities, writes both, then enables them again only when `enable` is
  // set. Stops at the first failed write.
  void WriteAxi0RWPriority(ReadWritePriorityValue read_priority,
                           ReadWritePriorityValue write_priority, bool enable);
  // Sets AXI port 1's read and write priorities in its single register, with
  // the port's enable bit clear, then set when `enable` is set. Stops at the
  // first failed write.
  void WriteAxi1RWPriority(ReadWritePriorityValue read_priority,
                           ReadWritePriorityValue write_priority, bool enable);
  // `command_age_count` at most kCommandAgeCountMaxValue; a larger one is
  // logged and not written.
  void WriteCommandAgeCount(uint32_t command_age_count);
  // `age_count` at most kAgeCountMaxValue; a larger one is logged and not
  // written.
  void WriteAgeCount(uint32_t age_count);

  // The default setting: both ports at priority level 1 with their
  // priorities disabled, command age count and age count 255. Stops at the
  // first failed register write.
  void DefaultSettings();
  // The setting for continuous capture: both ports at priority level 0 with
  // their priorities enabled, command age count 255, age count 0. Stops at the
  // first failed register write.
  void ContinuousCaptureSettings();

 private:
  std::unique_ptr<SysFileInterface> sys_file_;
};

namespace dram_controller {

// The driver's sysfs files that DramController talks through.
inline constexpr char kWriteFilePath[] = "/sys/kernel/zub_freq_cool/ddr_ctl_write";
inline constexpr char kReadFilePath[] = "/sys/kernel/zub_freq_cool/ddr_ctl_read";

// Applies the DramController setting of the same name with a controller (and
// ReadWriteSysFile) of its own, made and destroyed in the call.
TALON_EXPORT void DefaultSettings();
TALON_EXPORT void ContinuousCaptureSettings();

}  // namespace dram_controller
}  // namespace vireo

#endif  // SYSTEM_DRAM_CONTROLLER_DRAM_CONTROLLER_H_
