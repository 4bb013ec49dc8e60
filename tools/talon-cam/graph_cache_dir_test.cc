#include "tools/talon-cam/graph_cache_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace talon_cam {
namespace {

void Set(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

// Catches a relative XDG_CACHE_HOME taken as the cache's place (the cache
// would follow the working directory) and a cache at "/.cache/talon" when
// HOME is unset.
TEST(GraphCacheDir, UserDirectory) {
  const struct {
    const char* xdg;
    const char* home;
    const char* dir;
  } cases[] = {
      {"/x", "/h", "/x/talon"},          {"x", "/h", "/h/.cache/talon"},
      {"", "/h", "/h/.cache/talon"},     {nullptr, "/h", "/h/.cache/talon"},
      {"x", nullptr, ""},                {nullptr, "", ""},
  };
  for (const auto& c : cases) {
    Set("XDG_CACHE_HOME", c.xdg);
    Set("HOME", c.home);
    EXPECT_EQ(UserGraphCacheDir(), c.dir) << (c.xdg ? c.xdg : "-") << " " << (c.home ? c.home : "-");
  }
}

}  // namespace
}  // namespace talon_cam
