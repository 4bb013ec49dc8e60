#include "support/isp_text.h"

#include <gtest/gtest.h>

namespace talon_support {
namespace {

// Catches text that a surface would take although the ISP refuses it (a
// gain of 0, a matrix with 8 numbers), or refuse although it is good.
TEST(IspTextTest, AcceptsWhatTheIspTakesAndNamesWhatIsAllowed) {
  struct Case {
    const char* what;
    const char* text;
    bool ok;
    const char* allowed;
  } cases[] = {
      {"cfa", "bggr", true, ""},
      {"cfa", "RGBG", false, "is not one of RGGB, GRBG, GBRG, BGGR"},
      {"wb", "auto", true, ""},
      {"wb", "1.9,1,1.6", true, ""},
      {"wb", "1.9,0,1.6", false, "finite positive numbers, nor \"auto\""},
      {"wb", "1,1", false, "is not 3 comma-separated positive numbers"},
      {"wb", "1,nan,1", false, "finite positive numbers"},
      {"ccm", "1,0,0,0,1,0,0,0,1", true, ""},
      {"ccm", "1.5,-0.3,-0.2, -0.2,1.4,-0.2, 0,-0.5,1.5", true, ""},
      {"ccm", "1,0,0,0,1,0,0,0", false, "is not 9 comma-separated numbers"},
      {"ccm", "1,0,0,0,1,0,0,0,inf", false, "finite numbers"},
      {"gamma", "Linear", true, ""},
      {"gamma", "2.2", false, "is not one of srgb, linear"},
  };
  for (const Case& c : cases) {
    talon_isp::Settings settings;
    talon_isp::Cfa cfa;
    talon_isp::Transfer transfer;
    const std::string what = c.what;
    const std::string error = what == "cfa"   ? ParseCfa(c.text, &cfa)
                              : what == "wb"  ? ParseWhiteBalance(c.text, &settings)
                              : what == "ccm" ? ParseColorMatrix(c.text, &settings.ccm)
                                              : ParseTransfer(c.text, &transfer);
    EXPECT_EQ(error.empty(), c.ok) << c.what << " " << c.text << ": " << error;
    EXPECT_NE(error.find(c.allowed), std::string::npos) << c.what << " " << c.text << ": " << error;
  }
  talon_isp::Settings settings;
  ASSERT_EQ(ParseWhiteBalance("1.9,1,1.6", &settings), "");
  EXPECT_FALSE(settings.auto_white_balance);
  EXPECT_EQ(WhiteBalanceText(settings), "1.9,1,1.6");
}

}  // namespace
}  // namespace talon_support
