// The port without a usable libcrypto: each call that needs the library fails with the
// error a Windows call gives when the provider's DLL is missing (NTE_PROV_DLL_NOT_FOUND)
// or lacks a function (NTE_PROVIDER_DLL_FAIL), and the calls that need none still work.
// Each case runs in a child process of its own, since a run loads the library once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ankor/capi/digest.h"
#include "ankor/capi/libcrypto_linux.h"
#include "ankor/capi/platform.h"

namespace ankor::capi {
namespace {

// Prints what each call gave (the library's failure comes once, at the first call
// that needs it), then ends the child.
[[noreturn]] void callWithout(const char* library) {
  libcrypto::useLibraryForTesting(library);
  CryptoPlatform& p = systemPlatform();
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  const bool listed = p.enumProviders(0, &type, nullptr, &size);
  std::fprintf(stderr, "enumProviders %d\n", listed);
  Handle provider = 0;
  const bool acquired =
      p.acquireContext(&provider, nullptr, nullptr, win::kProvRsaAes, win::kCryptVerifyContext);
  std::fprintf(stderr, "acquireContext %d %08x\n", acquired, p.lastError());
  const std::uint8_t der[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  const Handle certificate = p.createCertificateContext(der, sizeof der);
  std::fprintf(stderr, "createCertificateContext %d %08x\n", certificate != 0, p.lastError());
  const std::uint8_t data[] = {'a', 'b', 'c'};
  std::fprintf(stderr, "digest %s\n",
               computeDigest(DigestAlgorithm::Sha256, data, sizeof data) ? "made" : "none");
  std::exit(0);
}

TEST(LibCryptoUnavailable, CallsThatNeedItFailWithTheProviderDllErrors) {
  struct Case {
    const char* library;
    const char* expected;
  };
  const Case cases[] = {
      {"libankor-absent.so.0",
       "enumProviders 1\nankor: cannot load libankor-absent.so.0: [^\n]*No such file[^\n]*\n"
       "acquireContext 0 8009001e\ncreateCertificateContext 0 8009001e\ndigest none\n"},
      {"libc.so.6",
       "enumProviders 1\nankor: libc.so.6 has no function ASN1_OBJECT_free: [^\n]*\n"
       "acquireContext 0 8009001d\ncreateCertificateContext 0 8009001d\ndigest none\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(callWithout(c.library), ::testing::ExitedWithCode(0), c.expected) << c.library;
  }
}

}  // namespace
}  // namespace ankor::capi
