// computeDigest's CryptoAPI steps on a given platform; the public entry points of
// digest.h run them on the back-end of this build.
#pragma once

#include "ankor/capi/platform.h"
#include "ankor/core/digest.h"

namespace ankor::capi {

// A CRYPT_VERIFYCONTEXT context of the default PROV_RSA_AES provider, CryptCreateHash,
// CryptHashData, then HP_HASHSIZE and HP_HASHVAL; nothing when any step fails.
std::optional<Bytes> computeDigestOn(CryptoPlatform& platform, DigestAlgorithm algorithm,
                                     const std::uint8_t* data, std::size_t size);

}  // namespace ankor::capi
