// Test seam for libwarden's SHA-256 calls: a test binary that links
// talon_testing_sha256 (sha256_failpoint.cc) defines SHA256_Init,
// SHA256_Update and SHA256_Final itself. libwarden resolves those names at
// load time and the executable's definitions come first, so every call of the
// library lands here; each one forwards to libcrypto unless a failpoint says
// it is to fail (return 0).
//
// Threading: failpoints and counts are atomics; arm them before the code under
// test runs.

#ifndef TESTING_SHA256_FAILPOINT_H_
#define TESTING_SHA256_FAILPOINT_H_

namespace talon_testing {

enum class ShaCall { kInit, kUpdate, kFinal };

// Makes the nth call of `call` from now on (counting from 1) fail; 0 disarms.
// Restarts the count of `call`.
void FailShaCall(ShaCall call, int nth);

// Disarms every failpoint and restarts every count.
void ResetShaFailpoints();

// Calls of `call` since its count last restarted.
int ShaCallCount(ShaCall call);

}  // namespace talon_testing

#endif  // TESTING_SHA256_FAILPOINT_H_
