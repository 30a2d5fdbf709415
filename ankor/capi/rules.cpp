#include "ankor/capi/rules.h"

#include <array>

namespace ankor::capi {
namespace {

// Tested in this order; containment is enough.
constexpr std::array<std::string_view, 9> kSmartCardProviders = {
    "Oberthur Card Systems Cryptographic Provider",
    "CSP Banrisul Multiplo",
    "eToken Base Cryptographic Provider",
    "Microsoft Base Smart Card Crypto Provider",
    "EnterSafe ePass2003 CSP v1.0",
    "Tarvo Cryptographic Provider",
    "SafeSign IC Standard Windows Cryptographic Service Provider",
    "DXSafe Base Cryptographic Provider",
    "SafeSign Standard Cryptographic Service Provider",
};

}  // namespace

bool isSmartCardProvider(std::string_view providerName) {
  for (std::string_view entry : kSmartCardProviders) {
    if (providerName.find(entry) != std::string_view::npos) return true;
  }
  return false;
}

std::string aliasAthenaExact(const std::string& providerName) {
  return providerName == kAthenaProvider ? std::string(kSmartCardBaseProvider) : providerName;
}

std::string aliasAthenaContained(const std::string& providerName) {
  return providerName.find(kAthenaProvider) != std::string::npos
             ? std::string(kSmartCardBaseProvider)
             : providerName;
}

std::string errorResultText(std::string_view message) {
  return std::string("{\"error\":\"").append(message).append("\"}");
}

std::string describeError(std::uint32_t code) {
  if (code == win::kKeySetNotDefined) return "Erro ao obter chave privada.";
  if (code == win::kNoKey) return "A chave n\xC3\xA3o existe";
  return "Err " + std::to_string(code);
}

std::string describeLastError(CryptoPlatform& platform) {
  return describeError(platform.lastError());
}

}  // namespace ankor::capi
