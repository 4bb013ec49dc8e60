#include "tools/talon-dramctl/dramctl_command.h"

#include "absl/algorithm/container.h"
#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "system/dram_controller/dram_controller.h"

namespace talon_dramctl {
namespace {

using vireo::DramController;

// `text` quoted for a message: escaped, so that it stays on one line.
std::string Quoted(absl::string_view text) { return absl::StrCat("'", absl::CHexEscape(text), "'"); }

std::string Hex8(uint32_t value) { return absl::StrFormat("0x%08x", value); }

bool ParseAddress(const std::string& text, uint32_t* address, std::string* error) {
  if (ParseU32(text, address) != NumberParse::kOk) {
    *error = "malformed address " + Quoted(text);
    return false;
  }
  if (*address < DramController::kRegisterBlockFirst ||
      *address > DramController::kRegisterBlockLast) {
    *error = absl::StrCat("address ", Hex8(*address),
                          " is outside the DRAM controller's registers (",
                          Hex8(DramController::kRegisterBlockFirst), " to ",
                          Hex8(DramController::kRegisterBlockLast), ")");
    return false;
  }
  if (*address % 4 != 0) {
    *error = absl::StrCat("address ", Hex8(*address), " is not aligned to 4 bytes");
    return false;
  }
  return true;
}

bool ParseValue(const std::string& text, uint32_t* value, std::string* error) {
  switch (ParseU32(text, value)) {
    case NumberParse::kOk:
      return true;
    case NumberParse::kMalformed:
      *error = "malformed value " + Quoted(text);
      return false;
    case NumberParse::kTooLarge:
      *error = "value " + Quoted(text) + " does not fit in 32 bits";
      return false;
  }
  return false;
}

bool ParseSetting(const std::string& text, Setting* setting) {
  if (text == "default") {
    *setting = Setting::kDefault;
  } else if (text == "continuous-capture") {
    *setting = Setting::kContinuousCapture;
  } else {
    return false;
  }
  return true;
}

// The command word and its arguments.
bool ParseWords(const std::vector<std::string>& words, Command* command, std::string* error) {
  const std::string& word = words[0];
  const size_t arguments = words.size() - 1;
  auto expect = [&](size_t n) {
    if (arguments == n) return true;
    *error = absl::StrCat(Quoted(word), " takes ", n, n == 1 ? " argument" : " arguments");
    return false;
  };
  command->word = word;
  if (ParseSetting(word, &command->setting)) {
    command->action = Action::kApply;
    return expect(0);
  }
  if (word == "apply") {
    command->action = Action::kApply;
    if (!expect(1)) return false;
    if (!ParseSetting(words[1], &command->setting)) {
      *error = "unknown setting " + Quoted(words[1]) + " (default or continuous-capture)";
      return false;
    }
    return true;
  }
  if (word == "write") {
    command->action = Action::kWrite;
    return expect(2) && ParseAddress(words[1], &command->address, error) &&
           ParseValue(words[2], &command->value, error);
  }
  if (word == "read") {
    command->action = Action::kRead;
    return expect(1) && ParseAddress(words[1], &command->address, error);
  }
  if (word == "dump") {
    command->action = Action::kDump;
    return expect(0);
  }
  *error = "unknown command " + Quoted(word);
  return false;
}

}  // namespace

NumberParse ParseU32(absl::string_view text, uint32_t* value) {
  // Abseil also takes a sign and blanks around the digits; the tool does not.
  if (absl::StartsWithIgnoreCase(text, "0x")) {
    absl::string_view digits = text.substr(2);
    if (digits.empty() || !absl::c_all_of(digits, absl::ascii_isxdigit)) {
      return NumberParse::kMalformed;
    }
    return absl::SimpleHexAtoi(digits, value) ? NumberParse::kOk : NumberParse::kTooLarge;
  }
  if (text.empty() || !absl::c_all_of(text, absl::ascii_isdigit)) return NumberParse::kMalformed;
  return absl::SimpleAtoi(text, value) ? NumberParse::kOk : NumberParse::kTooLarge;
}

bool ParseCommand(const std::vector<std::string>& args,
                  const std::vector<OptionSpec>& back_end_options, Command* command,
                  std::string* error) {
  Command parsed;
  size_t i = 0;
  // Options come first; the first other word is the command.
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "-h" || arg == "--help") {
      *command = Command();
      return true;
    }
    auto known = absl::c_find_if(back_end_options,
                                 [&arg](const OptionSpec& option) { return arg == option.name; });
    if (known == back_end_options.end()) {
      *error = "unknown option " + Quoted(arg);
      return false;
    }
    Option option{arg, ""};
    if (known->takes_value) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = arg + " needs a value";
        return false;
      }
      option.value = args[++i];
    }
    parsed.back_end_options.push_back(std::move(option));
  }
  if (i == args.size()) {
    *error = "no command given";
    return false;
  }
  if (!ParseWords(std::vector<std::string>(args.begin() + i, args.end()), &parsed, error)) {
    return false;
  }
  *command = std::move(parsed);
  return true;
}

}  // namespace talon_dramctl
