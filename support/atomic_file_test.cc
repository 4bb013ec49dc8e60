#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "testing/read_file.h"
#include "testing/temp_dir.h"

namespace talon_support {
namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

// Catches a target that is truncated before the new bytes are complete, a
// temporary left behind by an abandoned write, and a final mode of 0600
// (the temporary's) instead of the usual one.
TEST(AtomicFile, ReplacesOnlyOnCommit) {
  talon_testing::TempDir dir;
  const std::string path = dir.path() + "/m.jsonl";
  std::ofstream(path) << "old\n";
  std::string error;
  {
    AtomicFile abandoned;
    ASSERT_TRUE(abandoned.Create(path, &error)) << error;
    ASSERT_TRUE(abandoned.Write("half", &error)) << error;
  }
  EXPECT_EQ(talon_testing::ReadFile(path), "old\n");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"m.jsonl"});

  const mode_t mask = umask(022);
  AtomicFile file;
  ASSERT_TRUE(file.Create(path, &error)) << error;
  ASSERT_TRUE(file.Write("new\n", &error)) << error;
  ASSERT_TRUE(file.Commit(&error)) << error;
  umask(mask);
  EXPECT_EQ(talon_testing::ReadFile(path), "new\n");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"m.jsonl"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_FALSE(AtomicFile().Create(dir.path() + "/missing/m.jsonl", &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

// Catches a file meant for its owner alone (the DRAM driver's state)
// committed readable by others, or a usual one left private.
TEST(AtomicFile, CommittedMode) {
  talon_testing::TempDir dir;
  const struct {
    AtomicFile::Access access;
    mode_t mode;
  } cases[] = {{AtomicFile::Access::kUsual, 0644}, {AtomicFile::Access::kOwnerOnly, 0600}};
  const mode_t mask = umask(022);
  for (const auto& c : cases) {
    const std::string path = dir.path() + "/f" + std::to_string(c.mode);
    std::string error;
    AtomicFile file;
    ASSERT_TRUE(file.Create(path, &error, c.access)) << error;
    ASSERT_TRUE(file.Commit(&error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << path;
  }
  umask(mask);
}

}  // namespace
}  // namespace talon_support
