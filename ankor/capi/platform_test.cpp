#include "ankor/capi/platform.h"

#include <gtest/gtest.h>

#include "ankor/capi/fake_platform.h"

namespace ankor::capi {
namespace {

// One release per handle: a move leaves the source empty, reset and assignment release
// what was held.
TEST(Owned, MovesTransferAndReleaseOnce) {
  FakePlatform platform;
  Handle raw = 0;
  ASSERT_TRUE(platform.acquireContext(&raw, nullptr, "p", 24, 0));
  {
    ProviderContext first(platform, raw);
    ProviderContext second(std::move(first));
    EXPECT_EQ(first.get(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(second.get(), raw);
    ProviderContext third(platform);
    third = std::move(second);
    EXPECT_EQ(second.get(), 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(platform.count("releaseContext"), 0);
  }
  EXPECT_EQ(platform.count("releaseContext"), 1);
  EXPECT_EQ(platform.openHandles, 0);

  CryptHash hash(platform);
  ASSERT_TRUE(platform.createHash(1, win::kAlgSha1, hash.out()));
  ASSERT_TRUE(platform.createHash(1, win::kAlgSha1, hash.out()));  // out() releases the old one
  EXPECT_EQ(platform.count("destroyHash"), 1);
  hash.reset();
  EXPECT_EQ(platform.count("destroyHash"), 2);
  EXPECT_EQ(platform.openHandles, 0);
}

TEST(IsPrintableStringValue, TheX680Set) {
  EXPECT_TRUE(isPrintableStringValue(Bytes{}));
  const std::string all =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?";
  EXPECT_TRUE(isPrintableStringValue(Bytes(all.begin(), all.end())));
  for (const char c : std::string("@*_;!\"#$%&<>[]\\^`{|}~\t\n")) {
    EXPECT_FALSE(isPrintableStringValue(Bytes{'a', static_cast<std::uint8_t>(c)})) << c;
  }
  EXPECT_FALSE(isPrintableStringValue(Bytes{0xC3, 0xA9}));
  EXPECT_FALSE(isPrintableStringValue(Bytes{'a', 0}));
}

// The certificate handed to a token provider must hold the whole element its header
// announces.
TEST(DerElementFits, HeaderAndContentWithinTheBytes) {
  const struct {
    Bytes bytes;
    bool fits;
  } cases[] = {
      {{0x30, 0x00}, true},
      {{0x30, 0x03, 1, 2, 3}, true},
      {{0x30, 0x03, 1, 2, 3, 0xFF}, true},  // trailing bytes are not read
      {{0x30, 0x04, 1, 2, 3}, false},
      {{0x30, 0x81, 0x02, 1, 2}, true},
      {{0x30, 0x82, 0x01, 0x00}, false},
      {{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 1}, false},
      {{0x30, 0x84, 0x00, 0x00, 0x00, 0x01, 1}, true},
      {{0x30, 0x85, 0, 0, 0, 0, 0}, false},  // more length bytes than a 32-bit size
      {{0x30, 0x80, 0x00, 0x00}, false},     // indefinite length
      {{0x30, 0x82, 0x01}, false},           // length bytes cut off
      {{0x1F, 0x01, 0x00}, false},           // multi-byte tag
      {{0x30}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(derElementFits(c.bytes.empty() ? nullptr : c.bytes.data(), c.bytes.size()), c.fits)
        << hexEncode(c.bytes);
  }
}

}  // namespace
}  // namespace ankor::capi
