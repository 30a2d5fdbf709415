// SHA-1 and the keyed HMAC-SHA1 of the identifier: CryptoAPI on Windows, OpenSSL on Linux.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "hostmark/status.h"

namespace hostmark {

using Sha1Value = std::array<std::uint8_t, 20>;

class Digest {
 public:
  virtual ~Digest() = default;
  // Windows: CryptCreateHash CALG_SHA1 in a verification-only context of the Microsoft
  // Enhanced provider, CryptHashData, CryptGetHashParam HP_HASHVAL.
  [[nodiscard]] virtual Status sha1(std::string_view data, Sha1Value& value) = 0;
  // HMAC-SHA1 of message keyed with the 24 bytes of a Triple-DES key derived from
  // SHA-1(key). Windows: CryptDeriveKey CALG_3DES, CryptCreateHash CALG_HMAC with
  // HP_HMAC_INFO; Linux: the same derivation by hand, the bytes used as they are.
  [[nodiscard]] virtual Status keyedSha1(std::string_view key, std::string_view message,
                                         Sha1Value& value) = 0;
};

std::unique_ptr<Digest> createDigest();

// The 24 key bytes that CryptDeriveKey makes from a 20-byte hash h for a key longer
// than the hash: SHA-1 of (0x36 * 64 XOR h) followed by SHA-1 of (0x5C * 64 XOR h),
// cut to 24 bytes. Uses the given digest for the two SHA-1 values.
[[nodiscard]] Status deriveTripleDesKeyMaterial(Digest& digest, const Sha1Value& hash,
                                                std::array<std::uint8_t, 24>& key);

}  // namespace hostmark
