#include "ankor/core/digest.h"

#include <gtest/gtest.h>

namespace ankor {
namespace {

// "sha1" and "sha512" exactly; every other word, other letter cases included, is SHA-256.
TEST(DigestRule, HashNames) {
  struct Case { const char* name; DigestAlgorithm algorithm; };
  for (const Case& c :
       {Case{"sha1", DigestAlgorithm::Sha1}, Case{"sha512", DigestAlgorithm::Sha512},
        Case{"sha256", DigestAlgorithm::Sha256}, Case{"SHA1", DigestAlgorithm::Sha256},
        Case{"sha1 ", DigestAlgorithm::Sha256}, Case{"", DigestAlgorithm::Sha256},
        Case{"md5", DigestAlgorithm::Sha256}}) {
    EXPECT_EQ(digestAlgorithmNamed(c.name), c.algorithm) << '"' << c.name << '"';
  }
}

// The DigestInfo prefixes of PKCS #1 v1.5 (the DER before the digest) and the lengths.
TEST(DigestRule, PrefixesAndLengths) {
  struct Case { DigestAlgorithm algorithm; const char* prefix; std::size_t length; };
  for (const Case& c :
       {Case{DigestAlgorithm::Sha1, "3021300906052b0e03021a05000414", 20},
        Case{DigestAlgorithm::Sha256, "3031300d060960864801650304020105000420", 32},
        Case{DigestAlgorithm::Sha512, "3051300d060960864801650304020305000440", 64}}) {
    EXPECT_EQ(hexEncode(digestInfoPrefix(c.algorithm)), c.prefix);
    EXPECT_EQ(digestLength(c.algorithm), c.length);
  }
}

}  // namespace
}  // namespace ankor
