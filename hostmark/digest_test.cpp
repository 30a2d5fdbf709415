// One table of digest vectors for both targets: OpenSSL on Linux and the CryptoAPI of
// Windows (run under Wine) must give the same values. The expected values come from
// FIPS 180 (SHA-1) and from an independent HMAC-SHA1 computation with the key derived
// as CryptDeriveKey does for CALG_3DES (24 bytes, no parity adjustment).
#include "hostmark/digest.h"

#include <gtest/gtest.h>

#include <string>

#include "hostmark/fingerprint.h"

namespace hostmark {
namespace {

const std::string kAbcIdentifier = "A9993E36-4706816A-BA3E2571-7850C26C-9CD0D89D";

TEST(Digest, PlainVectors) {
  const struct {
    std::string data;
    std::string identifier;
  } cases[] = {
      {"abc", kAbcIdentifier},
      {"", "DA39A3EE-5E6B4B0D-3255BFEF-95601890-AFD80709"},
      {std::string(1000, 'a'), "291E9A6C-66994949-B57BA5E6-50361E98-FC36B1BA"},
  };
  const auto digest = createDigest();
  for (const auto& c : cases) {
    Sha1Value value{};
    ASSERT_EQ(digest->sha1(c.data, value), kSuccess) << c.data.size();
    EXPECT_EQ(formatIdentifier(value), c.identifier) << c.data.size();
  }
}

TEST(Digest, KeyedVectors) {
  const struct {
    std::string key;
    std::string message;
    std::string identifier;
  } cases[] = {
      {"key", "abc", "5630D7CF-C8BD84E5-B142C05B-3EC34A55-245903F7"},
      {"", "", "BE8E913E-03491F8F-3B6BDB6E-B8C6080C-127F3882"},
      // The keyed identifier of the "abc" identity text's identifier.
      {"tarvo", kAbcIdentifier, "72ECB06F-0CE90210-684E01D9-A40F2F19-C654FBA5"},
      // Non-ASCII key bytes (UTF-8 of "été") are hashed as they are.
      {"\xC3\xA9t\xC3\xA9", kAbcIdentifier, "E3D2A54D-243E811D-37CC2C4F-76999DA4-20C09F42"},
      // A key longer than the HMAC block still goes through SHA-1 first.
      {std::string(100, 'x'), "message", "500C6D01-8B029E93-98C4A7F1-685E0160-79D7CBBD"},
  };
  const auto digest = createDigest();
  for (const auto& c : cases) {
    Sha1Value value{};
    ASSERT_EQ(digest->keyedSha1(c.key, c.message, value), kSuccess) << c.key;
    EXPECT_EQ(formatIdentifier(value), c.identifier) << c.key;
  }
}

// The derived key material is SHA-1 of the two padded blocks, cut to 24 bytes.
TEST(Digest, DerivedKeyMaterial) {
  const auto digest = createDigest();
  Sha1Value keyHash{};
  ASSERT_EQ(digest->sha1("key", keyHash), kSuccess);
  std::array<std::uint8_t, 24> material{};
  ASSERT_EQ(deriveTripleDesKeyMaterial(*digest, keyHash, material), kSuccess);
  std::string hex;
  for (const std::uint8_t byte : material) {
    static constexpr char kHex[] = "0123456789abcdef";
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  EXPECT_EQ(hex, "93af19a3ae16ce3416e43defa4a5bc357509e857eeedc905");
}

}  // namespace
}  // namespace hostmark
