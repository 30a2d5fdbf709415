// Provider rules and error texts shared by the CryptoAPI operations.
#pragma once

#include <string>
#include <string_view>

#include "ankor/capi/platform.h"

namespace ankor::capi {

inline constexpr std::string_view kAthenaProvider = "Athena ASECard Crypto CSP";
inline constexpr std::string_view kSmartCardBaseProvider =
    "Microsoft Base Smart Card Crypto Provider";
// The software provider that opens containers of every provider that is not a smart card.
inline constexpr std::string_view kSoftwareFallbackProvider =
    "Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr std::uint32_t kSoftwareFallbackType = win::PROV_RSA_AES;

// True when the name contains one of the known smart-card provider names (byte-wise,
// case-sensitive).
bool isSmartCardProvider(std::string_view providerName);

// The Athena card is reached through the Microsoft smart-card provider: the exact name
// (aliasAthenaExact) or any name containing it (aliasAthenaContained) is replaced.
std::string aliasAthenaExact(const std::string& providerName);
std::string aliasAthenaContained(const std::string& providerName);

// {"error":"<message>"}, the message inserted verbatim (no JSON escaping).
std::string errorResultText(std::string_view message);

// Text for a last-error code: two known codes in Portuguese, otherwise "Err <code>".
std::string describeError(std::uint32_t code);
// describeError(GetLastError()).
std::string describeLastError(CryptoPlatform& platform);

}  // namespace ankor::capi
