// The software ISP's settings as text, one spelling for every surface that
// takes them as words (talon-cam's options, talonsrc's properties):
//
//   CFA order      "RGGB", "GRBG", "GBRG", "BGGR" (any case)
//   white balance  "auto", or three gains "R,G,B", each positive and finite
//   colour matrix  nine numbers "m00,m01,...,m22", row major, camera RGB to
//                  linear sRGB, each finite
//   transfer       "srgb" or "linear"
//
// Each parser answers "" for good text (and sets its result) or what is
// allowed, without the option's name ("\"RGBG\" is not one of RGGB, GRBG,
// GBRG, BGGR"), which each surface puts in its own words.
//
// Plain functions; no state, callable from any thread.

#ifndef SUPPORT_ISP_TEXT_H_
#define SUPPORT_ISP_TEXT_H_

#include <array>
#include <string>
#include <string_view>

#include "isp/isp.h"

namespace talon_support {

std::string ParseCfa(std::string_view text, talon_isp::Cfa* cfa);
const char* CfaName(talon_isp::Cfa cfa);

// "auto" sets settings->auto_white_balance; gains set it false and fill
// settings->wb_gains.
std::string ParseWhiteBalance(std::string_view text, talon_isp::Settings* settings);
// "auto" or the gains as "R,G,B" with up to 4 significant decimals.
std::string WhiteBalanceText(const talon_isp::Settings& settings);

std::string ParseColorMatrix(std::string_view text, std::array<float, 9>* matrix);
std::string ColorMatrixText(const std::array<float, 9>& matrix);

std::string ParseTransfer(std::string_view text, talon_isp::Transfer* transfer);
const char* TransferName(talon_isp::Transfer transfer);

}  // namespace talon_support

#endif  // SUPPORT_ISP_TEXT_H_
