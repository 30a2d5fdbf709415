// The machine identifier: the identity values joined, digested and formatted as
// 40 upper-case hex digits in five groups of eight joined by "-" (44 characters).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "hostmark/digest.h"
#include "hostmark/identity_source.h"
#include "hostmark/status.h"

namespace hostmark {

inline constexpr std::size_t kIdentifierLength = 44;

// "A9993E36-4706816A-BA3E2571-7850C26C-9CD0D89D" for SHA-1("abc").
std::string formatIdentifier(const Sha1Value& digest);

// Disk serials in order, firmware serials, then the machine identifier, joined without
// separators; values that are not strings contribute nothing. Closes the source on
// every path.
[[nodiscard]] Status collectIdentityText(IdentitySource& source, bool secureProxy,
                                         std::string& text);

// The plain identifier: SHA-1 of the identity text up to its first zero byte. The source
// stays open until the digest is taken and is closed on every path.
[[nodiscard]] Status computeIdentifier(IdentitySource& source, Digest& digest,
                                       bool secureProxy, std::string& identifier);

// The keyed identifier: HMAC-SHA1 of the plain identifier, keyed from key (up to its
// first zero byte).
[[nodiscard]] Status computeKeyedIdentifier(IdentitySource& source, Digest& digest,
                                            std::string_view key, bool secureProxy,
                                            std::string& identifier);

// Buffer contract of the C exports. The caller's buffer holds at least 45 zero bytes:
// on success its first 44 bytes receive the identifier and nothing else is written;
// on failure nothing is written. Only the low byte of secureProxy counts.
[[nodiscard]] Status retrieveIntoBuffer(IdentitySource& source, Digest& digest, char* buffer,
                                        unsigned int secureProxy);

// As above for the keyed identifier; zeroes the first four bytes first, and clears the
// 44 bytes again when the keyed step fails after the plain identifier was written.
[[nodiscard]] Status retrieveKeyedIntoBuffer(IdentitySource& source, Digest& digest,
                                             const char* key, char* buffer,
                                             unsigned int secureProxy);

}  // namespace hostmark
