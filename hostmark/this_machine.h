// One computation on this machine, as every export runs it: the platform's identity
// source and digest (createIdentitySource, createDigest), then the buffer contract of
// fingerprint.h.
#pragma once

#include "hostmark/status.h"

namespace hostmark {

// The plain identifier, or the keyed one (HMAC-SHA1 keyed from the caller's key).
enum class Identifier { Plain, Keyed };

// retrieveIntoBuffer or retrieveKeyedIntoBuffer (key is read for Keyed only). Nothing
// is thrown: running out of memory gives kOutOfMemory, so an export returns the result.
[[nodiscard]] Status retrieveOnThisMachine(Identifier identifier, const char* key, char* buffer,
                                           unsigned int secureProxy) noexcept;

}  // namespace hostmark
