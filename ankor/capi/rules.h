// Provider rules and error texts shared by the CryptoAPI operations.
#pragma once

#include <stdexcept>
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
inline constexpr std::uint32_t kSoftwareFallbackType = win::kProvRsaAes;

// True when the name contains one of the known smart-card provider names (byte-wise,
// case-sensitive).
bool isSmartCardProvider(std::string_view providerName);

// The Athena card is reached through the Microsoft smart-card provider: the exact name
// (aliasAthenaExact) or any name containing it (aliasAthenaContained) is replaced.
std::string aliasAthenaExact(const std::string& providerName);
std::string aliasAthenaContained(const std::string& providerName);

// Runs the steps of an operation that raises: every failure becomes a runtime failure
// carrying its message, "Unexpected error" for one without a message.
template <typename Steps>
std::string runtimeFailures(Steps&& steps) {
  try {
    return steps();
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  } catch (...) {
    throw std::runtime_error("Unexpected error");
  }
}

// {"error":"<message>"}, the message inserted verbatim (no JSON escaping).
std::string errorResultText(std::string_view message);

// Text for a last-error code: two known codes in Portuguese, otherwise "Err <code>".
std::string describeError(std::uint32_t code);
// describeError(GetLastError()).
std::string describeLastError(CryptoPlatform& platform);

}  // namespace ankor::capi
