// What a token signs: the DigestInfo of PKCS #1 v1.5 (CKM_RSA_PKCS), built from the
// digest rule of ankor/core/digest.h.
#pragma once

#include <cstddef>
#include <string>

#include "ankor/core/digest.h"
#include "ankor/core/encoding.h"

namespace ankor::pkcs11 {

// The DigestInfo prefix and digest of a hash name ("sha1", "sha512", anything else
// SHA-256).
struct DigestTemplate {
  DigestAlgorithm algorithm;
  Bytes prefix;
  std::size_t digestLength;
};
DigestTemplate digestTemplate(const std::string& hashName);
// The DigestInfo to sign: the template's prefix followed by the digest.
Bytes digestInfo(const DigestTemplate& chosen, const Bytes& digest);

}  // namespace ankor::pkcs11
