#include "tools/talon-cam/output_targets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talon_cam {
namespace {

// Catches two options let through that would write one file name (a fixed
// name that a pattern also makes, at any width of the frame counter), and
// names refused that no frame of any stream can produce.
TEST(OutputTargets, PatternMatchesTheNamesItExpandsTo) {
  const std::vector<int> data_types = {42, 43};
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"a-#", "a-43-000005", true},
      {"a-#", "a-42-1234567", true},
      {"a-#.raw", "a-43-000000.raw", true},
      {"#/#", "43-000001/43-000001", true},
      {"a-#", "a-44-000005", false},
      {"a-#", "a-43-00005", false},
      {"a-#", "a-43-0000005", false},
      {"a-#.raw", "a-43-000000.dng", false},
      {"#/#", "43-000001/43-000002", false},
      {"a.raw", "a.raw", true},
      {"a.raw", "b.raw", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PatternMatches(c.pattern, c.name, data_types), c.matches)
        << c.pattern << " " << c.name;
  }
}

}  // namespace
}  // namespace talon_cam
