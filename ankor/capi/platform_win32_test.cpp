// The win32 back-end's own checks, against the real ADVAPI32 (Wine's rsaenh in the tests).
#include <gtest/gtest.h>

#include "ankor/capi/platform.h"

namespace ankor::capi {
namespace {

// The provider reads a KP_CERTIFICATE value as far as its DER header says: bytes that
// announce more than they hold never reach it.
TEST(Win32Platform, CertificateForTheKeyMustHoldItsWholeElement) {
  CryptoPlatform& p = systemPlatform();
  ProviderContext context(p);
  ASSERT_TRUE(p.acquireContext(context.out(), nullptr,
                               "Microsoft Enhanced RSA and AES Cryptographic Provider",
                               win::kProvRsaAes, win::kCryptVerifyContext));
  CryptKey key(p);
  ASSERT_TRUE(p.genKey(context.get(), win::kKeyExchange, 1024u << 16, key.out()));

  const struct {
    Bytes certificate;
  } refused[] = {
      {{0x30, 0x82, 0x04, 0x00, 0x30, 0x00}},  // announces 1024 bytes, holds 2
      {{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}},
      {{0x30}},
      {{}},
  };
  for (const auto& c : refused) {
    p.setLastError(0);
    EXPECT_FALSE(p.setKeyParam(key.get(), win::kKeyParamCertificate,
                               c.certificate.empty() ? nullptr : c.certificate.data(),
                               static_cast<std::uint32_t>(c.certificate.size())));
    EXPECT_EQ(p.lastError(), win::kBadData) << hexEncode(c.certificate);
  }
}

}  // namespace
}  // namespace ankor::capi
