// Status values of the identity library: 0 or the failing platform call's own 32-bit
// status, passed back unchanged.
#pragma once

#include <cstdint>

namespace hostmark {

using Status = std::uint32_t;

inline constexpr Status kSuccess = 0;
// ERROR_INVALID_PARAMETER: a null buffer, key or callback handed to an export.
inline constexpr Status kInvalidParameter = 87;
// E_OUTOFMEMORY: memory ran out (the only C++ exception the computation can meet).
inline constexpr Status kOutOfMemory = 0x8007000E;
// NTE_FAIL: a digest call failed but left no error code of its own.
inline constexpr Status kDigestFailed = 0x80090020;
// NTE_BAD_LEN: a digest value of unexpected size.
inline constexpr Status kBadDigestLength = 0x80090004;

// A failed call's error code, never 0 (a failure must not read as success).
[[nodiscard]] constexpr Status failureStatus(Status code, Status fallback) {
  return code != kSuccess ? code : fallback;
}

}  // namespace hostmark
