// Test helper: a fresh directory under the test's temporary area, removed with
// everything in it when the object goes.

#ifndef TESTING_TEMP_DIR_H_
#define TESTING_TEMP_DIR_H_

#include <string>

namespace vireo {
namespace testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace testing
}  // namespace vireo

#endif  // TESTING_TEMP_DIR_H_
