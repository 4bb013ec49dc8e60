#include "cutils/properties.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "testing/temp_dir.h"

namespace {

class PropertiesTest : public ::testing::Test {
 protected:
  void Write(const std::string& text) {
    std::ofstream(path_) << text;
    setenv("SIM_PROPERTIES", path_.c_str(), 1);
  }
  std::string Get(const char* key, const char* default_value = "") {
    char value[PROPERTY_VALUE_MAX + 8];
    std::fill(value, value + sizeof(value), 'x');
    const int length = property_get(key, value, default_value);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(value));
    return value;
  }
  void TearDown() override { unsetenv("SIM_PROPERTIES"); }

  talon_testing::TempDir dir_;
  std::string path_ = dir_.path() + "/props";
};

// Catches a parser that mixes up comments, blanks or repeated keys.
TEST_F(PropertiesTest, ReadsKeyValueLines) {
  Write(
      "# comment\n ro.product.brand = acme \n\nro.serialno=SN#1\r\n"
      "#ro.product.model=hidden\nnoequals\nro.serialno=SN2\n");
  EXPECT_EQ(Get("ro.product.brand"), "acme");
  EXPECT_EQ(Get("ro.serialno"), "SN2");
  EXPECT_EQ(Get("ro.product.model", "dflt"), "dflt");
  EXPECT_EQ(Get("noequals"), "");
}

// Catches an unset store that returns garbage instead of the default, and a
// store read once instead of on every call.
TEST_F(PropertiesTest, UnsetReadsDefaultAndFileIsReread) {
  unsetenv("SIM_PROPERTIES");
  EXPECT_EQ(Get("ro.product.brand", "d"), "d");
  EXPECT_EQ(Get("ro.product.brand", nullptr), "");
  setenv("SIM_PROPERTIES", "/nonexistent/props", 1);
  EXPECT_EQ(Get("ro.product.brand"), "");
  Write("ro.product.brand=one\n");
  EXPECT_EQ(Get("ro.product.brand"), "one");
  Write("ro.product.brand=\n");
  EXPECT_EQ(Get("ro.product.brand", "d"), "d");
}

// Catches a value written past the 92-byte buffer.
TEST_F(PropertiesTest, LongValueIsCutTo91Bytes) {
  Write("ro.product.model=" + std::string(200, 'm') + "\n");
  EXPECT_EQ(Get("ro.product.model"), std::string(91, 'm'));
}

}  // namespace
