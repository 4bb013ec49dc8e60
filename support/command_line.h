// Command lines of the tools: strict numbers and a table-driven parser of
// "--name value", "--name=value", aliases, flags and positional arguments.
// Free of libtalon, so that tools without a capture use it too;
// support/options.h adds the capture options on top.
//
// Every refusal is one line that names the option, the bad value and what is
// allowed, e.g. "--buffers: 0 is not in 1 to 1024". A value given in hex is
// answered with the range in hex ("address: 0x10 is not in 0x4008000 to
// 0x4008FFC"), and so is every value of a number that is hex by nature (a
// register address). An option is given once unless its table entry says otherwise.
//
// Plain functions; no state, callable from any thread.

#ifndef SUPPORT_COMMAND_LINE_H_
#define SUPPORT_COMMAND_LINE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace talon_support {

// How a refusal writes the range: as the value was given (hex after 0x,
// else decimal), or always in hex.
enum class RangeBase { kAsGiven, kHex };

// Strict numbers: decimal or 0x hex, the whole text, in [min, max]; no sign
// for unsigned, an optional '-' for signed. On refusal `error` reads
// "<option>: \"<text>\" is not a number in <min> to <max>" or
// "<option>: <text> is not in <min> to <max>".
bool ParseUnsigned(std::string_view option, std::string_view text, uint64_t min, uint64_t max,
                   uint64_t* value, std::string* error, RangeBase base = RangeBase::kAsGiven);
bool ParseSigned(std::string_view option, std::string_view text, int64_t min, int64_t max,
                 int64_t* value, std::string* error);

// The refusal of `text` as a number in [min, max], for messages about one
// part of a value: "" when it is one (then *value is set), else
// "<text><where> is not in <min> to <max>" or, when it is no number at all,
// "\"<text>\"<where> is not a number in <min> to <max>".
std::string UnsignedProblem(std::string_view text, std::string_view where, uint64_t min,
                            uint64_t max, uint64_t* value);

// One option of a command line. `apply` gets the value ("" for a flag
// without one) and refuses it with a one-line error.
struct OptionSpec {
  const char* name;   // "--frames"
  const char* alias;  // "-n" or nullptr
  bool takes_value;
  std::function<bool(std::string_view value, std::string* error)> apply;
  bool repeatable = false;  // may be given more than once ("--stream")
};

// Parses argv[1..argc-1]: "--name value", "--name=value", aliases, flags.
// Refusals: "unknown option --x (see --help)", "--stream needs a value",
// "--quiet takes no value", "--out given twice" (a second time, by name or
// alias, for an option that is not repeatable), or the error of an `apply`;
// any other argument is refused ("unexpected argument \"x\"").
bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::string* error);

// The same for "[options] ARGUMENTS...": the first argument that is no
// option, and every one after it, goes to `positional` in order ("--" ends
// the options too; "-" alone is an argument).
bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::vector<std::string>* positional, std::string* error);

// Ready-made specs. The field is written only when the value is accepted.
OptionSpec FlagOption(const char* name, const char* alias, bool* field);
OptionSpec StringOption(const char* name, std::string* field);  // refuses ""
template <typename T>
OptionSpec UnsignedOption(const char* name, uint64_t min, uint64_t max, T* field) {
  return {name, nullptr, true, [name, min, max, field](std::string_view text, std::string* e) {
            uint64_t value = 0;
            if (!ParseUnsigned(name, text, min, max, &value, e)) return false;
            *field = static_cast<T>(value);
            return true;
          }};
}

}  // namespace talon_support

#endif  // SUPPORT_COMMAND_LINE_H_
