#include "tools/talon-dramctl/dramctl_command.h"

#include <limits>

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_replace.h"
#include "support/command_line.h"
#include "system/dram_controller/dram_controller.h"

namespace talon_dramctl {
namespace {

using vireo::DramController;

// `text` quoted for a message: escaped, so that it stays on one line.
std::string Quoted(absl::string_view text) {
  return absl::StrCat("'", absl::CHexEscape(text), "'");
}

constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();

// A register of the block, aligned. Registers are hex, so are the ranges
// that refusals state.
bool ParseAddress(const std::string& text, uint32_t* address, std::string* error) {
  uint64_t parsed = 0;
  if (!talon_support::ParseUnsigned("address", text, DramController::kRegisterBlockFirst,
                                    DramController::kRegisterBlockLast, &parsed, error,
                                    talon_support::RangeBase::kHex)) {
    return false;
  }
  if (parsed % 4 != 0) {
    *error = absl::StrCat("address: ", text, " is not aligned to 4 bytes");
    return false;
  }
  *address = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseValue(const std::string& text, uint32_t* value, std::string* error) {
  uint64_t parsed = 0;
  if (!talon_support::ParseUnsigned("value", text, 0, kMaxU32, &parsed, error,
                                    talon_support::RangeBase::kHex)) {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
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
  *error = "unknown command " + Quoted(word) + " (see --help)";
  return false;
}

}  // namespace

std::string OneLine(absl::string_view text) {
  return absl::StrReplaceAll(text, {{"\n", "\\n"}, {"\r", "\\r"}});
}

NumberParse ParseU32(absl::string_view text, uint32_t* value) {
  const std::string_view digits(text.data(), text.size());
  uint64_t parsed = 0;
  std::string ignored;
  if (!talon_support::ParseUnsigned("", digits, 0, std::numeric_limits<uint64_t>::max(), &parsed,
                                    &ignored)) {
    return NumberParse::kMalformed;
  }
  if (parsed > kMaxU32) return NumberParse::kTooLarge;
  *value = static_cast<uint32_t>(parsed);
  return NumberParse::kOk;
}

bool ParseCommand(const std::vector<std::string>& args,
                  const std::vector<OptionSpec>& back_end_options, Command* command,
                  std::string* error) {
  Command parsed;
  bool help = false;
  std::vector<talon_support::OptionSpec> specs = {talon_support::FlagOption("--help", "-h", &help)};
  for (const OptionSpec& option : back_end_options) {
    specs.push_back({option.name, nullptr, option.takes_value,
                     [&parsed, &option](std::string_view value, std::string* e) {
                       if (option.takes_value && value.empty()) {
                         *e = absl::StrCat(option.name, " needs a value");
                         return false;
                       }
                       parsed.back_end_options.push_back({option.name, std::string(value)});
                       return true;
                     }});
  }
  // Options come first; the first other word is the command.
  std::vector<const char*> argv = {"talon-dramctl"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::vector<std::string> words;
  if (!talon_support::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), specs, &words,
                                       error)) {
    return false;
  }
  if (help) {
    *command = Command();
    return true;
  }
  if (words.empty()) {
    *error = "no command given (see --help)";
    return false;
  }
  if (!ParseWords(words, &parsed, error)) return false;
  *command = std::move(parsed);
  return true;
}

}  // namespace talon_dramctl
