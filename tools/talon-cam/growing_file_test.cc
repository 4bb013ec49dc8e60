#include "tools/talon-cam/growing_file.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "testing/read_file.h"
#include "testing/temp_dir.h"

namespace talon_cam {
namespace {

// Catches a file that grows with the run left broken by a full disk: a
// record cut short, its closing tail lost (the trace would be no JSON), a
// failure not kept (every later record would be tried and said again), or
// no file at all where the records before the failure fit.
TEST(GrowingFile, FullDiskKeepsTheWholeRecordsAndTheTail) {
  talon_testing::TempDir dir;
  const std::string mount_point = dir.path() + "/full";
  ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "needs a small tmpfs (root): " << std::strerror(errno);
  }
  struct Unmount {
    const std::string& path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point};
  const std::string path = mount_point + "/t.json";
  GrowingFile file;
  std::string error;
  ASSERT_TRUE(file.Create(path, "[\"head\"", "]\n", &error)) << error;
  const std::string record = ",\"" + std::string(1000, 'x') + "\"";
  int appended = 0;
  while (file.Append(record)) ++appended;
  EXPECT_EQ(file.error_number(), ENOSPC);
  EXPECT_FALSE(file.Append(","));  // stays stopped
  EXPECT_GT(appended, 0);
  ASSERT_TRUE(file.Commit(&error)) << error;

  // Throws if broken.
  const nlohmann::json json = nlohmann::json::parse(talon_testing::ReadFile(path));
  EXPECT_EQ(json.size(), static_cast<size_t>(appended) + 1);
}

}  // namespace
}  // namespace talon_cam
