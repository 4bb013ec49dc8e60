// talon-prism-check: runs the IPU runtime through what libtalon relies on and
// prints one line per property ("ok NAME", "FAIL NAME: what was seen" or
// "skip NAME: why it cannot run here"), then "N passed, M failed, K skipped".
// Exit status 0 when no property fails, 1 when one fails, 2 for bad options.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "support/options.h"
#include "system/capture/capture_types.h"
#include "tools/talon-prism-check/prism_check.h"
#include "tools/talon-prism-check/watchdog.h"

namespace {

// The bound of the waits before the frame period is known: two frame
// periods at 0.5 fps, with room for the host.
constexpr uint32_t kFirstWaitMs = 5000;

std::string Usage() {
  return absl::StrCat(
      "Usage: talon-prism-check [options]\n"
      "Checks that the IPU runtime (libprism) behaves the way libtalon relies on,\n"
      "capturing a few frames from a sensor that streams on the given receiver.\n"
      "Prints one line per property, 'ok NAME', 'FAIL NAME: what was seen' or\n"
      "'skip NAME: why it cannot run on this runtime', then\n"
      "'N passed, M failed, K skipped'.\n"
      "\n",
      talon_support::StreamHelp(), "                        (one stream)\n",
      talon_support::ReceiverHelp(), "  --timeout-ms N        every wait for a frame, ",
      talon_support::kMinTimeoutMs, " to ", talon_support::kMaxTimeoutMs,
      " ms; by default\n"
      "                        the first waits take up to ",
      kFirstWaitMs,
      " ms and later\n"
      "                        ones follow the frame period measured from them\n"
      "                        (three periods and 500 ms)\n"
      "  --help                this text\n"
      "\n"
      "Exit status: 0 no property failed, 1 one failed, 2 bad options.\n");
}

struct Options {
  vireo::CaptureConfig config;
  bool fixed_timeout = false;
  bool help = false;
};

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  vireo::CaptureConfig& config = options->config;
  config.timeout_ms = kFirstWaitMs;
  vireo::CaptureStreamConfig stream = talon_support::DefaultStream();
  uint32_t fixed_timeout_ms = 0;  // not given; the range starts at 1
  const std::vector<talon_support::OptionSpec> specs = {
      {"--stream", nullptr, true,
       [&stream](std::string_view value, std::string* e) {
         return talon_support::ParseStream("--stream", value, &stream, e);
       }},
      talon_support::MipiRxOption(&config),
      talon_support::VirtualChannelOption(&config),
      talon_support::TimeoutOption(&fixed_timeout_ms),
      talon_support::FlagOption("--help", "-h", &options->help),
  };
  if (!talon_support::ParseCommandLine(argc, argv, specs, error)) return false;
  config.stream_configs = {stream};
  if (fixed_timeout_ms != 0) {
    options->fixed_timeout = true;
    config.timeout_ms = fixed_timeout_ms;
  }
  return talon_support::CheckConfig(config, error);
}

std::string Summary(int passed, int failed, int skipped) {
  return absl::StrCat(passed, " passed, ", failed, " failed, ", skipped, " skipped\n");
}

}  // namespace

int main(int argc, char** argv) {
  using talon_prism_check::PrismCheck;
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talon-prism-check: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }

  PrismCheck check(options.config, options.fixed_timeout);
  talon_prism_check::Watchdog watchdog([&check] { check.RemoveTempDir(); });
  int passed = 0, failed = 0, skipped = 0;
  for (const PrismCheck::Property& property : PrismCheck::Properties()) {
    // Enough for a slow compilation and every wait of the longest property.
    const std::chrono::milliseconds budget(30000 + 4 * check.WaitBoundMs());
    watchdog.Arm(budget,
                 absl::StrCat("FAIL ", property.name, ": no result within ", budget.count() / 1000,
                              " s\n", Summary(passed, failed + 1, skipped)));
    const PrismCheck::Outcome outcome = check.RunProperty(property);
    watchdog.Disarm();
    switch (outcome.kind) {
      case PrismCheck::Outcome::Kind::kOk:
        std::printf("ok %s\n", property.name);
        ++passed;
        break;
      case PrismCheck::Outcome::Kind::kFail:
        std::printf("FAIL %s: %s\n", property.name, outcome.text.c_str());
        ++failed;
        break;
      case PrismCheck::Outcome::Kind::kSkip:
        std::printf("skip %s: %s\n", property.name, outcome.text.c_str());
        ++skipped;
        break;
    }
    std::fflush(stdout);
  }
  std::fputs(Summary(passed, failed, skipped).c_str(), stdout);
  return failed == 0 ? 0 : 1;
}
