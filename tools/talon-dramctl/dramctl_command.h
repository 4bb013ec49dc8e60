// talon-dramctl's command line turned into a command: which setting to apply
// or which register to write or read, plus the options that choose the back
// end (sys_file_back_end.h), which this unit collects without interpreting.
// Everything is checked here, before anything touches the driver.
//
// Plain functions and values; no state, callable from any thread.

#ifndef TOOLS_TALON_DRAMCTL_DRAMCTL_COMMAND_H_
#define TOOLS_TALON_DRAMCTL_DRAMCTL_COMMAND_H_

#include <cstdint>
#include <string>
#include <vector>

#include "absl/strings/string_view.h"

namespace talon_dramctl {

// An option of the back end: its name ("--root") and whether a value follows.
struct OptionSpec {
  const char* name;
  bool takes_value;
};

// A back-end option as given; `value` is empty for an option without one.
struct Option {
  std::string name;
  std::string value;
};

enum class Action { kHelp, kApply, kWrite, kRead, kDump };
enum class Setting { kDefault, kContinuousCapture };

struct Command {
  Action action = Action::kHelp;
  std::string word;                      // the command as given, for messages
  Setting setting = Setting::kDefault;   // kApply
  uint32_t address = 0;                  // kWrite, kRead: inside the register block
  uint32_t value = 0;                    // kWrite
  std::vector<Option> back_end_options;  // in the order given
};

// Parses the arguments after the program name: options (-h/--help and the
// back end's `back_end_options`), then the command word and its arguments.
// True with `command` filled; false with a one-line reason in `error`
// (arguments quoted in it are escaped, so it stays one line).
bool ParseCommand(const std::vector<std::string>& args,
                  const std::vector<OptionSpec>& back_end_options, Command* command,
                  std::string* error);

// `text` with its line breaks escaped ("\\n"), so that a message holding a
// path stays one line.
std::string OneLine(absl::string_view text);

enum class NumberParse { kOk, kMalformed, kTooLarge };

// Decimal, or hexadecimal after "0x" or "0X"; no sign, no blanks, 32 bits.
NumberParse ParseU32(absl::string_view text, uint32_t* value);

}  // namespace talon_dramctl

#endif  // TOOLS_TALON_DRAMCTL_DRAMCTL_COMMAND_H_
