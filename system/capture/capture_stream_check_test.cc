#include "system/capture/capture_stream_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/log_capture.h"

namespace vireo {
namespace stream_check {
namespace {

constexpr char kBits[] = "bits_per_component could only be 8, 10 or 16.";
constexpr char kRepeated[] = "Invalid configuration: data type 43 is used by more than one stream";

// Catches a check that misses a stream, and a combined check that reports
// another stream than the first failing one (width before data type, stream
// by stream), as the capture service's log says which stream was refused.
TEST(StreamCheck, FirstFailingStreamDecides) {
  struct Case {
    std::vector<CaptureStreamConfig> streams;
    bool widths_supported;
    bool repeated;
    const char* refusal;  // what StreamsCanBeBuilt logs; null: it accepts
  };
  const Case cases[] = {
      {{{CSI2_RAW8, 8, 8, 8, false}, {CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW16, 8, 8, 16, false}},
       true,
       false,
       nullptr},
      {{{CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW12, 8, 8, 12, false}}, false, false, kBits},
      {{{CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW10, 8, 8, 8, false}}, true, true, kRepeated},
      {{{CSI2_RAW10, 8, 8, 10, false}, {CSI2_RAW10, 8, 8, 8, false}, {CSI2_RAW12, 8, 8, 12, false}},
       false,
       true,
       kRepeated},
      {{{CSI2_RAW12, 8, 8, 12, false}, {CSI2_RAW12, 8, 8, 12, false}}, false, true, kBits},
  };
  using Messages = std::vector<std::string>;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.streams.size());
    CaptureConfig config;
    config.stream_configs = c.streams;
    talon_testing::ScopedLogCapture log;
    EXPECT_EQ(AllComponentWidthsSupported(config), c.widths_supported);
    EXPECT_EQ(HasRepeatedDataType(config), c.repeated);
    EXPECT_EQ(log.Messages(), c.widths_supported ? Messages{} : Messages{kBits});
    log.Clear();
    EXPECT_EQ(StreamsCanBeBuilt(config), c.refusal == nullptr);
    EXPECT_EQ(log.Messages(), c.refusal == nullptr ? Messages{} : Messages{c.refusal});
  }
}

}  // namespace
}  // namespace stream_check
}  // namespace vireo
