// Test helper: a whole file's bytes as a string (empty when it cannot be
// read), for comparing what a tool or a library wrote.
//
// Header-only; callable from any thread; the caller owns the result.

#ifndef TESTING_READ_FILE_H_
#define TESTING_READ_FILE_H_

#include <fstream>
#include <iterator>
#include <string>

namespace talon_testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace talon_testing

#endif  // TESTING_READ_FILE_H_
