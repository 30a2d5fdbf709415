// computeDigest: the CryptoAPI hashing steps on the back-end of this build, and the
// same as the Digester that the program hands to the token room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ankor/core/digest.h"

namespace ankor {

// The digest, or nothing when the platform could not compute it. On Windows a
// CRYPT_VERIFYCONTEXT context of the default PROV_RSA_AES provider hashes the data;
// on Linux OpenSSL does.
std::optional<Bytes> computeDigest(DigestAlgorithm algorithm, const std::uint8_t* data,
                                   std::size_t size);

inline std::optional<Bytes> computeSha1(const std::uint8_t* data, std::size_t size) {
  return computeDigest(DigestAlgorithm::Sha1, data, size);
}
inline std::optional<Bytes> computeSha256(const std::uint8_t* data, std::size_t size) {
  return computeDigest(DigestAlgorithm::Sha256, data, size);
}
inline std::optional<Bytes> computeSha512(const std::uint8_t* data, std::size_t size) {
  return computeDigest(DigestAlgorithm::Sha512, data, size);
}

namespace capi {

// computeDigest behind the Digester interface, for the rooms that do not hash themselves.
const Digester& systemDigester();

}  // namespace capi
}  // namespace ankor
