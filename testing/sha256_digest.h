// Test helper: SHA-256 through OpenSSL's one-shot EVP interface, a reference
// for the device id independent of the SHA256_* calls that libwarden makes
// (and that talon_testing_sha256 interposes). Header-only: a test that
// includes it links OpenSSL::Crypto.
//
// Callable from any thread; the caller owns the result.

#ifndef TESTING_SHA256_DIGEST_H_
#define TESTING_SHA256_DIGEST_H_

#include <openssl/evp.h>

#include <string>

#include "gtest/gtest.h"

namespace talon_testing {

// The 32-byte digest of `data`.
inline std::string Sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr), 1);
  EXPECT_EQ(length, 32u);
  return std::string(reinterpret_cast<const char*>(digest), 32);
}

}  // namespace talon_testing

#endif  // TESTING_SHA256_DIGEST_H_
