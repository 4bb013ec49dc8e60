#include "support/graph_cache_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_setup.h"
#include "testing/temp_dir.h"

namespace talon_support {
namespace {

using vireo::ozy::kCompiledGraphDirVariable;

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
      {"/x", "/h", "/x/talon"},
      {"x", "/h", "/h/.cache/talon"},
      {"", "/h", "/h/.cache/talon"},
      {nullptr, "/h", "/h/.cache/talon"},
      {"x", nullptr, ""},
      {nullptr, "", ""},
  };
  for (const auto& c : cases) {
    Set("XDG_CACHE_HOME", c.xdg);
    Set("HOME", c.home);
    EXPECT_EQ(UserGraphCacheDir(), c.dir)
        << (c.xdg ? c.xdg : "-") << " " << (c.home ? c.home : "-");
  }
}

// Catches a cache directory that cannot be made passed on to the library,
// which then fails every capture with "File system error" and no path; and
// a chosen or set directory left unmade or not given to the library.
TEST(GraphCacheDir, NamedDirectoryIsMadeOrRefusedWithItsReason) {
  talon_testing::TempDir tmp;
  const std::string file = tmp.path() + "/file";
  std::ofstream(file) << "x";
  const struct {
    std::string chosen;
    std::string variable;  // empty: unset
    std::string dir;       // empty: refused
    const char* reason;
  } cases[] = {
      {tmp.path() + "/a/b", "", tmp.path() + "/a/b", ""},
      {"", tmp.path() + "/v", tmp.path() + "/v", ""},
      {file + "/sub", "", "", "Not a directory"},
      {"", file + "/sub", "", "Not a directory"},
  };
  for (const auto& c : cases) {
    vireo::SetCompiledGraphDir("");
    Set(kCompiledGraphDirVariable, c.variable.empty() ? nullptr : c.variable.c_str());
    std::string dir, note, error;
    const bool ok = ChooseGraphCacheDir(c.chosen, &dir, &note, &error);
    const std::string named = c.chosen.empty() ? c.variable : c.chosen;
    if (c.dir.empty()) {
      EXPECT_FALSE(ok) << named;
      EXPECT_NE(error.find(named), std::string::npos) << error;
      EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    } else {
      ASSERT_TRUE(ok) << error;
      EXPECT_EQ(dir, c.dir);
      EXPECT_EQ(note, "");
      struct stat st;
      EXPECT_EQ(stat(c.dir.c_str(), &st), 0) << c.dir;
      EXPECT_EQ(vireo::GetCompiledGraphDir(), c.dir);
    }
  }
  unsetenv(kCompiledGraphDirVariable);
  vireo::SetCompiledGraphDir("");
}

}  // namespace
}  // namespace talon_support
