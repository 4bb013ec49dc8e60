// A simulated DRAM-controller driver: stands in for the kernel driver's two
// sysfs files so that the DRAM-controller tuning runs off the device.
//
// It models the controller's register block (1024 registers of 32 bits, all
// zero at first) and accepts exactly the driver's text protocol, as a kernel
// store handler would:
//   - write file "/sys/kernel/zub_freq_cool/ddr_ctl_write": "<index>;0x<value>",
//     index in decimal (0 to 1023), value in lower-case hexadecimal (at most 8
//     digits), both without leading zeros and with nothing else around them;
//     the register is replaced by the value.
//   - read file "/sys/kernel/zub_freq_cool/ddr_ctl_read": writing "<index>"
//     selects a register; reading yields its value as one line "0x%08x".
// Anything else is refused the way a store handler refuses it: the write
// fails (-1) and no register changes. Reading before a register was selected,
// reading the write file and any other path fail as well.
//
// With a state file the registers live in that file: every command loads it
// and every register write replaces it, so that successive processes see the
// registers they set. The replacement is a temporary file made with mkstemp
// beside the state file (never an existing name, never through a link),
// written, flushed to disk and renamed over the state file; a failure leaves
// the old file as it was. A missing state file means all registers zero, but
// a state file in a missing directory is an error, as is a link at the state
// file's name. The selection of the read file stays with the object.
//
// Threading: every operation may be called from any thread; the object's
// mutex serialises them. Two processes sharing a state file are not
// serialised against each other.
// Ownership: the object owns its registers and nothing else.

#ifndef HOST_DRAM_DRIVER_DRAM_DRIVER_SIM_H_
#define HOST_DRAM_DRIVER_DRAM_DRIVER_SIM_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "system/dram_controller/dram_controller.h"

namespace vireo {
namespace dram_sim {

using dram_controller::kReadFilePath;
using dram_controller::kWriteFilePath;
inline constexpr uint32_t kRegisterCount = 1024;

// The per-user default state file: "$XDG_RUNTIME_DIR/talon-dramctl.state"
// when XDG_RUNTIME_DIR names a private directory (absolute, this user's, not
// writable by group or others), else "<home>/.cache/talon-dramctl/state",
// whose directory is created with mode 0700 when missing and must then be
// private too (home: $HOME, or the user's entry in the password database).
// False, with a one-line reason in `error`, when neither is available.
// Reads the environment and the password database: call it before other
// threads start.
bool DefaultStatePath(std::string* path, std::string* error);

class SimulatedDramDriver : public SysFileInterface {
 public:
  // Registers kept in memory.
  SimulatedDramDriver();
  // Registers kept in the file `state_path`.
  explicit SimulatedDramDriver(std::string state_path);
  ~SimulatedDramDriver() override;
  SimulatedDramDriver(const SimulatedDramDriver&) = delete;
  SimulatedDramDriver& operator=(const SimulatedDramDriver&) = delete;

  int Write(const std::string& path, const std::string& input) override;
  int Read(const std::string& path, std::string* output) override;

  // The current value of register `index`; false when the index is out of
  // range or the state file cannot be loaded.
  bool GetRegister(uint32_t index, uint32_t* value);

  // Loads the state file as every command does; false, with why in `error`
  // (as LastError says it), when the registers cannot be had from it.
  bool CheckState(std::string* error);

  // Why the last refused operation was refused ("" when none was).
  std::string LastError() const;

 private:
  bool Fail(std::string reason) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool LoadState() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool SaveState() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const std::string state_path_;  // empty: registers in memory only
  mutable Mutex mutex_;
  std::array<uint32_t, kRegisterCount> registers_ ABSL_GUARDED_BY(mutex_){};
  std::optional<uint32_t> selected_ ABSL_GUARDED_BY(mutex_);
  std::string last_error_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace dram_sim
}  // namespace vireo

#endif  // HOST_DRAM_DRIVER_DRAM_DRIVER_SIM_H_
