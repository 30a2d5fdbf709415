// The three digests (SHA-1, SHA-256, SHA-512) both rooms use: the hash-name rule, the
// digest lengths, the DigestInfo prefixes of PKCS #1 v1.5 signatures, and the interface
// through which a room computes the digest of a byte string. The CryptoAPI room
// implements it (ankor/capi/digest.h), since on Windows hashing is a CryptoAPI call and
// on Linux the port's OpenSSL back-end answers the same calls; the program hands that
// implementation to the token room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "ankor/core/encoding.h"

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

// Computes digests in software: thumbprints and the data a room signs.
class Digester {
 public:
  virtual ~Digester() = default;
  // The digest, or nothing when it could not be computed.
  [[nodiscard]] virtual std::optional<Bytes> digest(DigestAlgorithm algorithm,
                                                    const std::uint8_t* data,
                                                    std::size_t size) const = 0;
};

}  // namespace ankor
