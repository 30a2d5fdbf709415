// The three digests (SHA-1, SHA-256, SHA-512) both rooms use: the hash-name rule, the
// digest lengths, the DigestInfo prefixes of PKCS #1 v1.5 signatures, and the digest of
// a byte string for thumbprints and data to sign. The rule and the tables are defined
// here (ankor_digest); computeDigest is defined by the CryptoAPI port (ankor_capi),
// since on Windows hashing is a CryptoAPI call and on Linux the port's OpenSSL
// back-end answers the same calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "ankor/front/encoding.h"

namespace ankor {

// The CryptoAPI algorithm identifiers of the three digests.
enum class DigestAlgorithm : std::uint32_t {
  Sha1 = 0x8004,    // CALG_SHA1
  Sha256 = 0x800C,  // CALG_SHA_256
  Sha512 = 0x800E,  // CALG_SHA_512
};

// The hash name of a command: "sha1" and "sha512" exactly; every other word is SHA-256.
DigestAlgorithm digestAlgorithmNamed(std::string_view name);

// Length in bytes of a digest of this algorithm (20, 32 or 64).
std::size_t digestLength(DigestAlgorithm algorithm);

// The DER of a DigestInfo up to its digest: the algorithm identifier and the header of
// the digest's OCTET STRING, to which the digest is appended for a PKCS #1 v1.5 signature.
const Bytes& digestInfoPrefix(DigestAlgorithm algorithm);

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

}  // namespace ankor
