#include "support/command_line.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>

#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/string_view.h"
#include "absl/strings/strip.h"

namespace talon_support {
namespace {

absl::string_view Absl(std::string_view text) { return {text.data(), text.size()}; }

// `text` in quotes, escaped so that a message repeating it stays one line.
std::string Quoted(absl::string_view text) { return absl::StrCat("\"", absl::CEscape(text), "\""); }

bool IsHex(absl::string_view text) {
  return text.size() > 2 && absl::StartsWithIgnoreCase(text, "0x");
}

// A whole unsigned number, decimal or hex after 0x; Abseil alone would also
// take a sign and blanks around the digits.
bool ParseDigits(absl::string_view text, uint64_t* value) {
  const bool hex = IsHex(text);
  if (hex) text.remove_prefix(2);
  const auto is_digit = [hex](char c) {
    return hex ? absl::ascii_isxdigit(static_cast<unsigned char>(c))
               : absl::ascii_isdigit(static_cast<unsigned char>(c));
  };
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit) &&
         (hex ? absl::SimpleHexAtoi(text, value) : absl::SimpleAtoi(text, value));
}

// "<min> to <max>", in hex when `hex` is set.
std::string RangeText(bool hex, uint64_t min, uint64_t max) {
  if (!hex) return absl::StrCat(min, " to ", max);
  char range[48];
  std::snprintf(range, sizeof(range), "0x%" PRIX64 " to 0x%" PRIX64, min, max);
  return range;
}

bool Fail(std::string text, std::string* error) {
  *error = std::move(text);
  return false;
}

std::string Problem(absl::string_view given, absl::string_view where, uint64_t min, uint64_t max,
                    RangeBase base, uint64_t* value) {
  const bool hex = base == RangeBase::kHex || IsHex(given);
  uint64_t parsed = 0;
  if (!ParseDigits(given, &parsed)) {
    return absl::StrCat(Quoted(given), where, " is not a number in ", RangeText(hex, min, max));
  }
  if (parsed < min || parsed > max) {
    return absl::StrCat(given, where, " is not in ", RangeText(hex, min, max));
  }
  *value = parsed;
  return "";
}

}  // namespace

std::string UnsignedProblem(std::string_view text, std::string_view where, uint64_t min,
                            uint64_t max, uint64_t* value) {
  return Problem(Absl(text), Absl(where), min, max, RangeBase::kAsGiven, value);
}

bool ParseUnsigned(std::string_view option, std::string_view text, uint64_t min, uint64_t max,
                   uint64_t* value, std::string* error, RangeBase base) {
  const std::string problem = Problem(Absl(text), "", min, max, base, value);
  return problem.empty() || Fail(absl::StrCat(Absl(option), ": ", problem), error);
}

bool ParseSigned(std::string_view option, std::string_view text, int64_t min, int64_t max,
                 int64_t* value, std::string* error) {
  absl::string_view digits = Absl(text);
  const bool negative = absl::ConsumePrefix(&digits, "-");
  uint64_t magnitude = 0;
  // The magnitude of INT64_MIN does not fit in int64_t; it is the one case
  // where it may be 2^63.
  const uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
  if (!ParseDigits(digits, &magnitude) || magnitude > limit) {
    return Fail(absl::StrCat(Absl(option), ": ", Quoted(Absl(text)), " is not a number in ", min,
                             " to ", max),
                error);
  }
  const int64_t parsed =
      negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (parsed < min || parsed > max) {
    return Fail(absl::StrCat(Absl(option), ": ", Absl(text), " is not in ", min, " to ", max),
                error);
  }
  *value = parsed;
  return true;
}

bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::string* error) {
  return ParseCommandLine(argc, argv, specs, nullptr, error);
}

bool ParseCommandLine(int argc, const char* const* argv, const std::vector<OptionSpec>& specs,
                      std::vector<std::string>* positional, std::string* error) {
  bool options_ended = false;
  std::vector<bool> given(specs.size(), false);
  for (int i = 1; i < argc; ++i) {
    const absl::string_view arg = argv[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (positional == nullptr) {
        return Fail(absl::StrCat("unexpected argument ", Quoted(arg)), error);
      }
      positional->emplace_back(arg);
      options_ended = true;
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    absl::string_view name = arg;
    absl::string_view value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); absl::StartsWith(arg, "--") && eq != arg.npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    const auto option = std::find_if(specs.begin(), specs.end(), [name](const OptionSpec& s) {
      return name == s.name || (s.alias != nullptr && name == s.alias);
    });
    if (option == specs.end()) {
      return Fail(absl::StrCat("unknown option ", absl::CEscape(name), " (see --help)"), error);
    }
    // A second value would silently replace the first.
    const size_t index = static_cast<size_t>(option - specs.begin());
    if (given[index] && !option->repeatable) {
      return Fail(absl::StrCat(option->name, " given twice"), error);
    }
    given[index] = true;
    if (!option->takes_value && has_value) {
      return Fail(absl::StrCat(option->name, " takes no value"), error);
    }
    if (option->takes_value && !has_value) {
      if (i + 1 >= argc) return Fail(absl::StrCat(option->name, " needs a value"), error);
      value = argv[++i];
    }
    if (!option->apply(std::string_view(value.data(), value.size()), error)) return false;
  }
  return true;
}

OptionSpec FlagOption(const char* name, const char* alias, bool* field) {
  return {name, alias, false, [field](std::string_view, std::string*) {
            *field = true;
            return true;
          }};
}

OptionSpec StringOption(const char* name, std::string* field) {
  return {name, nullptr, true, [name, field](std::string_view value, std::string* error) {
            if (value.empty()) return Fail(absl::StrCat(name, " needs a value"), error);
            *field = std::string(value);
            return true;
          }};
}

}  // namespace talon_support
