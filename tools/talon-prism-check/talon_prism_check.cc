// talon-prism-check: runs the IPU runtime through what libtalon relies on and
// prints one line per property ("ok NAME" or "FAIL NAME: what was seen"),
// then "N passed, M failed". Exit status 0 when every property holds, 1 when
// one fails, 2 for bad options.

#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "absl/strings/string_view.h"
#include "system/capture/capture_types.h"
#include "tools/talon-prism-check/prism_check.h"
#include "tools/talon-prism-check/watchdog.h"

namespace {

constexpr char kUsage[] =
    "Usage: talon-prism-check [options]\n"
    "Checks that the IPU runtime (libprism) behaves the way libtalon relies on,\n"
    "capturing a few frames from a sensor that streams on the given receiver.\n"
    "Prints one line per property, 'ok NAME' or 'FAIL NAME: what was seen', then\n"
    "'N passed, M failed'.\n"
    "\n"
    "  --stream dt,width,height,bits[,pad]\n"
    "                        the stream; dt decimal or 0x hex, bits 8, 10 or 16,\n"
    "                        pad 1 rounds rows up to 64 bytes (default 0x2B,640,480,10)\n"
    "  --mipi-rx N           MIPI receiver (default 0)\n"
    "  --virtual-channel N   virtual channel 0 to 3 (default 0)\n"
    "  --timeout-ms N        longest wait for a frame (default 1000)\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 every property holds, 1 one failed, 2 bad options.\n";

struct Options {
  vireo::CaptureConfig config;
  bool help = false;
};

// A whole unsigned number no larger than `max`; decimal, or hex after 0x.
bool ParseNumber(absl::string_view text, bool allow_hex, uint32_t max, uint32_t* value) {
  const bool hex = allow_hex && (absl::StartsWith(text, "0x") || absl::StartsWith(text, "0X"));
  const char* const allowed = hex ? "0123456789abcdefABCDEFxX" : "0123456789";
  const bool digits = !text.empty() && text.find_first_not_of(allowed) == absl::string_view::npos;
  return digits && (hex ? absl::SimpleHexAtoi(text, value) : absl::SimpleAtoi(text, value)) &&
         *value <= max;
}

bool ParseStream(absl::string_view text, vireo::CaptureStreamConfig* stream) {
  const std::vector<absl::string_view> parts = absl::StrSplit(text, ',');
  uint32_t dt = 0, pad = 0;
  const uint32_t max = std::numeric_limits<uint32_t>::max();
  if ((parts.size() != 4 && parts.size() != 5) ||
      !ParseNumber(parts[0], true, std::numeric_limits<int32_t>::max(), &dt) ||
      !ParseNumber(parts[1], false, max, &stream->width) || stream->width == 0 ||
      !ParseNumber(parts[2], false, max, &stream->height) || stream->height == 0 ||
      !ParseNumber(parts[3], false, 16, &stream->bits_per_component) ||
      (parts.size() == 5 && !ParseNumber(parts[4], false, 1, &pad))) {
    return false;
  }
  const uint32_t bits = stream->bits_per_component;
  stream->data_type = static_cast<vireo::MipiDataTypeCsi2>(dt);
  stream->pad_row_to_64_bytes = pad == 1;
  return bits == 8 || bits == 10 || bits == 16;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  vireo::CaptureStreamConfig stream{vireo::CSI2_RAW10, 640, 480, 10, false};
  options->config.timeout_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      continue;
    }
    std::string value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    uint32_t number = 0;
    bool ok = false;
    if (arg == "--stream") {
      ok = ParseStream(value, &stream);
    } else if (arg == "--mipi-rx") {
      ok = ParseNumber(value, false, std::numeric_limits<int32_t>::max(), &number);
      options->config.mipi_rx = static_cast<int32_t>(number);
    } else if (arg == "--virtual-channel") {
      ok = ParseNumber(value, false, 3, &options->config.virtual_channel);
    } else if (arg == "--timeout-ms") {
      ok = ParseNumber(value, false, 3600000, &options->config.timeout_ms) &&
           options->config.timeout_ms > 0;
    } else {
      *error = absl::StrCat("unknown option \"", arg, "\"");
      return false;
    }
    if (!ok) {
      *error = absl::StrCat("bad value \"", value, "\" for ", arg);
      return false;
    }
  }
  options->config.stream_configs = {stream};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using talon_prism_check::PrismCheck;
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talon-prism-check: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  PrismCheck check(options.config);
  talon_prism_check::Watchdog watchdog([&check] { check.RemoveTempDir(); });
  // Enough for a slow compilation and every wait of the longest property.
  const std::chrono::milliseconds budget(30000 + 8 * uint64_t{options.config.timeout_ms});
  int passed = 0, failed = 0;
  for (const PrismCheck::Property& property : PrismCheck::Properties()) {
    watchdog.Arm(budget,
                 absl::StrCat("FAIL ", property.name, ": no result within ", budget.count() / 1000,
                              " s\n", passed, " passed, ", failed + 1, " failed\n"));
    const std::string seen = (check.*property.check)();
    watchdog.Disarm();
    if (seen.empty()) {
      std::printf("ok %s\n", property.name);
      ++passed;
    } else {
      std::printf("FAIL %s: %s\n", property.name, seen.c_str());
      ++failed;
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
