// Test helper: a fresh directory under the test's temporary area ($TMPDIR, else
// /tmp), removed with everything in it when the object goes.
//
// Threading: one thread at a time. Ownership: the object owns the directory.

#ifndef TESTING_TEMP_DIR_H_
#define TESTING_TEMP_DIR_H_

#include <string>

namespace talon_testing {

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

}  // namespace talon_testing

#endif  // TESTING_TEMP_DIR_H_
