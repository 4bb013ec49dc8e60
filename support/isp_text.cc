#include "support/isp_text.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "absl/strings/ascii.h"
#include "absl/strings/escaping.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"

namespace talon_support {
namespace {

constexpr struct {
  talon_isp::Cfa cfa;
  const char* name;
} kCfas[] = {{talon_isp::Cfa::kRggb, "RGGB"},
             {talon_isp::Cfa::kGrbg, "GRBG"},
             {talon_isp::Cfa::kGbrg, "GBRG"},
             {talon_isp::Cfa::kBggr, "BGGR"}};

absl::string_view Absl(std::string_view text) { return {text.data(), text.size()}; }
std::string Quoted(absl::string_view text) { return absl::StrCat("\"", absl::CEscape(text), "\""); }

// Exactly `count` comma-separated finite numbers (`positive`: each above 0).
std::string ParseNumbers(absl::string_view text, size_t count, bool positive, float* out) {
  const std::vector<absl::string_view> parts = absl::StrSplit(text, ',');
  const char* what = positive ? "positive numbers" : "numbers";
  if (parts.size() != count) {
    return absl::StrCat(Quoted(text), " is not ", count, " comma-separated ", what);
  }
  for (size_t i = 0; i < count; ++i) {
    float value = 0;
    if (!absl::SimpleAtof(absl::StripAsciiWhitespace(parts[i]), &value) || !std::isfinite(value) ||
        (positive && !(value > 0))) {
      return absl::StrCat(Quoted(parts[i]), " in ", Quoted(text), " is not one of ", count,
                          " finite ", what);
    }
    out[i] = value;
  }
  return "";
}

std::string Numbers(const float* values, size_t count) {
  std::vector<std::string> parts;
  for (size_t i = 0; i < count; ++i) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%.4g", values[i]);
    parts.push_back(buffer);
  }
  return absl::StrJoin(parts, ",");
}

}  // namespace

std::string ParseCfa(std::string_view text, talon_isp::Cfa* cfa) {
  for (const auto& entry : kCfas) {
    if (absl::EqualsIgnoreCase(Absl(text), entry.name)) {
      *cfa = entry.cfa;
      return "";
    }
  }
  return absl::StrCat(Quoted(Absl(text)), " is not one of RGGB, GRBG, GBRG, BGGR");
}

const char* CfaName(talon_isp::Cfa cfa) {
  for (const auto& entry : kCfas) {
    if (entry.cfa == cfa) return entry.name;
  }
  return "?";
}

std::string ParseWhiteBalance(std::string_view text, talon_isp::Settings* settings) {
  if (absl::EqualsIgnoreCase(Absl(text), "auto")) {
    settings->auto_white_balance = true;
    return "";
  }
  std::array<float, 3> gains{};
  std::string error = ParseNumbers(Absl(text), 3, true, gains.data());
  if (!error.empty()) return absl::StrCat(error, ", nor \"auto\"");
  settings->auto_white_balance = false;
  settings->wb_gains = gains;
  return "";
}

std::string WhiteBalanceText(const talon_isp::Settings& settings) {
  if (settings.auto_white_balance) return "auto";
  return Numbers(settings.wb_gains.data(), 3);
}

std::string ParseColorMatrix(std::string_view text, std::array<float, 9>* matrix) {
  std::array<float, 9> values{};
  std::string error = ParseNumbers(Absl(text), 9, false, values.data());
  if (error.empty()) *matrix = values;
  return error;
}

std::string ColorMatrixText(const std::array<float, 9>& matrix) {
  return Numbers(matrix.data(), 9);
}

std::string ParseTransfer(std::string_view text, talon_isp::Transfer* transfer) {
  if (absl::EqualsIgnoreCase(Absl(text), "srgb")) {
    *transfer = talon_isp::Transfer::kSrgb;
  } else if (absl::EqualsIgnoreCase(Absl(text), "linear")) {
    *transfer = talon_isp::Transfer::kLinear;
  } else {
    return absl::StrCat(Quoted(Absl(text)), " is not one of srgb, linear");
  }
  return "";
}

const char* TransferName(talon_isp::Transfer transfer) {
  return transfer == talon_isp::Transfer::kSrgb ? "srgb" : "linear";
}

}  // namespace talon_support
