#include "ankor/capi/digest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ankor/capi/digest_steps.h"
#include "ankor/capi/fake_platform.h"

#include <string>

namespace ankor {
namespace {

std::string digestHex(DigestAlgorithm algorithm, const std::string& text) {
  const auto digest =
      computeDigest(algorithm, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return digest ? hexEncode(*digest) : "failed";
}

// FIPS 180 vectors, including the empty message, through the platform's digests.
TEST(ComputeDigest, KnownVectors) {
  EXPECT_EQ(digestHex(DigestAlgorithm::Sha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(digestHex(DigestAlgorithm::Sha1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(digestHex(DigestAlgorithm::Sha256, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digestHex(DigestAlgorithm::Sha256, ""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestHex(DigestAlgorithm::Sha512, "abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  // An empty byte string may come without a buffer at all.
  const auto emptyWithoutBuffer = computeDigest(DigestAlgorithm::Sha256, nullptr, 0);
  ASSERT_TRUE(emptyWithoutBuffer.has_value());
  EXPECT_EQ(hexEncode(*emptyWithoutBuffer),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digestLength(DigestAlgorithm::Sha1), 20u);
  EXPECT_EQ(digestLength(DigestAlgorithm::Sha256), 32u);
  EXPECT_EQ(digestLength(DigestAlgorithm::Sha512), 64u);
}

// The Digester the program hands to the token room is computeDigest itself.
TEST(ComputeDigest, SystemDigesterIsComputeDigest) {
  const std::string text = "abc";
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  for (const auto algorithm :
       {DigestAlgorithm::Sha1, DigestAlgorithm::Sha256, DigestAlgorithm::Sha512}) {
    EXPECT_EQ(capi::systemDigester().digest(algorithm, data, text.size()),
              computeDigest(algorithm, data, text.size()));
  }
  const auto sha1 = capi::systemDigester().digest(DigestAlgorithm::Sha1, data, text.size());
  ASSERT_TRUE(sha1.has_value());
  EXPECT_EQ(hexEncode(*sha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

// The CryptoAPI steps: a verify context of the default PROV_RSA_AES provider, and
// nothing (no partial digest) when any step fails.
TEST(ComputeDigest, StepsAndFailures) {
  const std::uint8_t data[] = {1, 2, 3};
  capi::FakePlatform platform;
  platform.digestValue = Bytes(64, 0xD1);
  const auto digest = capi::computeDigestOn(platform, DigestAlgorithm::Sha512, data, 3);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(*digest, platform.digestValue);
  ASSERT_EQ(platform.acquires.size(), 1u);
  EXPECT_EQ(platform.acquires[0].provider, "<null>");
  EXPECT_EQ(platform.acquires[0].container, "<null>");
  EXPECT_EQ(platform.acquires[0].type, 24u);
  EXPECT_EQ(platform.acquires[0].flags, 0xF0000000u);
  EXPECT_THAT(platform.hashAlgorithms, ::testing::ElementsAre(0x800Eu));
  EXPECT_THAT(platform.hashedData, ::testing::ElementsAre(Bytes{1, 2, 3}));
  EXPECT_EQ(platform.openHandles, 0);

  for (const char* call : {"acquireContext", "createHash", "hashData", "getHashParam(SIZE)",
                           "getHashParam(VALUE)"}) {
    capi::FakePlatform failing;
    failing.failOn(call, 0x80090020);
    EXPECT_FALSE(capi::computeDigestOn(failing, DigestAlgorithm::Sha1, data, 3).has_value())
        << call;
    EXPECT_EQ(failing.openHandles, 0) << call;
  }
}

// A hash size other than the algorithm's digest length is a failure, never a short or
// empty digest.
TEST(ComputeDigest, SizeOtherThanTheAlgorithmsFails) {
  const std::uint8_t data[] = {1};
  const struct {
    DigestAlgorithm algorithm;
    std::size_t size;
    bool ok;
  } cases[] = {
      {DigestAlgorithm::Sha1, 20, true},    {DigestAlgorithm::Sha256, 32, true},
      {DigestAlgorithm::Sha512, 64, true},  {DigestAlgorithm::Sha512, 20, false},
      {DigestAlgorithm::Sha1, 32, false},   {DigestAlgorithm::Sha256, 0, false},
  };
  for (const auto& c : cases) {
    capi::FakePlatform platform;
    platform.digestValue = Bytes(c.size, 0x42);
    const auto digest = capi::computeDigestOn(platform, c.algorithm, data, 1);
    EXPECT_EQ(digest.has_value(), c.ok) << c.size;
    if (c.ok && digest) {
      EXPECT_EQ(*digest, platform.digestValue);
    }
    EXPECT_EQ(platform.openHandles, 0);
  }
}

}  // namespace
}  // namespace ankor
