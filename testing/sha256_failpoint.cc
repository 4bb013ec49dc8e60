// Interposes libcrypto's SHA256_Init/Update/Final for tests (see the header).

#define OPENSSL_SUPPRESS_DEPRECATED
#include "testing/sha256_failpoint.h"

#include <dlfcn.h>
#include <openssl/sha.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace talon_testing {
namespace {

struct Failpoint {
  std::atomic<int> calls{0};
  std::atomic<int> fail_at{0};
};

Failpoint g_failpoints[3];

Failpoint& Of(ShaCall call) { return g_failpoints[static_cast<int>(call)]; }

// Counts the call and tells whether it is the one to fail.
bool ShouldFail(ShaCall call) {
  Failpoint& failpoint = Of(call);
  const int nth = failpoint.calls.fetch_add(1) + 1;
  return failpoint.fail_at.load() == nth;
}

template <typename Function>
Function Real(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "sha256_failpoint: %s not found in libcrypto\n", name);
    std::abort();
  }
  return reinterpret_cast<Function>(symbol);
}

}  // namespace

void FailShaCall(ShaCall call, int nth) {
  Of(call).calls.store(0);
  Of(call).fail_at.store(nth);
}

void ResetShaFailpoints() {
  for (Failpoint& failpoint : g_failpoints) {
    failpoint.calls.store(0);
    failpoint.fail_at.store(0);
  }
}

int ShaCallCount(ShaCall call) { return Of(call).calls.load(); }

}  // namespace talon_testing

using talon_testing::ShaCall;
using talon_testing::ShouldFail;

extern "C" __attribute__((visibility("default"))) int SHA256_Init(SHA256_CTX* c) {
  static const auto real = talon_testing::Real<int (*)(SHA256_CTX*)>("SHA256_Init");
  if (ShouldFail(ShaCall::kInit)) return 0;
  return real(c);
}

extern "C" __attribute__((visibility("default"))) int SHA256_Update(SHA256_CTX* c, const void* data,
                                                                    size_t len) {
  static const auto real =
      talon_testing::Real<int (*)(SHA256_CTX*, const void*, size_t)>("SHA256_Update");
  if (ShouldFail(ShaCall::kUpdate)) return 0;
  return real(c, data, len);
}

extern "C" __attribute__((visibility("default"))) int SHA256_Final(unsigned char* md,
                                                                   SHA256_CTX* c) {
  static const auto real =
      talon_testing::Real<int (*)(unsigned char*, SHA256_CTX*)>("SHA256_Final");
  if (ShouldFail(ShaCall::kFinal)) return 0;
  return real(md, c);
}
