#include "ankor/capi/rules.h"

#include <gtest/gtest.h>

#include "ankor/capi/fake_platform.h"

namespace ankor::capi {
namespace {

// Containment, byte-wise and case-sensitive, against the nine smart-card names.
TEST(IsSmartCardProvider, ContainmentOfAListedName) {
  const struct {
    const char* name;
    bool expected;
  } cases[] = {
      {"Microsoft Base Smart Card Crypto Provider", true},
      {"Oberthur Card Systems Cryptographic Provider", true},
      {"SafeSign Standard Cryptographic Service Provider", true},
      {"SafeSign IC Standard Windows Cryptographic Service Provider", true},
      {"eToken Base Cryptographic Provider v2.1", true},  // suffix after a listed name
      {"My CSP Banrisul Multiplo", true},
      {"Tarvo Cryptographic Provider", true},
      {"DXSafe Base Cryptographic Provider", true},
      {"EnterSafe ePass2003 CSP v1.0", true},
      {"microsoft base smart card crypto provider", false},  // letter case counts
      {"Microsoft Enhanced RSA and AES Cryptographic Provider", false},
      {"Athena ASECard Crypto CSP", false},  // only through the alias rule
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isSmartCardProvider(c.name), c.expected) << c.name;
}

TEST(AthenaAlias, ExactAndContainedForms) {
  const std::string card = "Microsoft Base Smart Card Crypto Provider";
  EXPECT_EQ(aliasAthenaExact("Athena ASECard Crypto CSP"), card);
  EXPECT_EQ(aliasAthenaExact("Athena ASECard Crypto CSP v2"), "Athena ASECard Crypto CSP v2");
  EXPECT_EQ(aliasAthenaContained("Athena ASECard Crypto CSP v2"), card);
  EXPECT_EQ(aliasAthenaContained("The Athena ASECard Crypto CSP"), card);
  EXPECT_EQ(aliasAthenaContained("athena asecard crypto csp"), "athena asecard crypto csp");
}

// The message goes in verbatim, quotes and backslashes unescaped.
TEST(ErrorResultText, PlainConcatenation) {
  EXPECT_EQ(errorResultText("x - y "), R"({"error":"x - y "})");
  EXPECT_EQ(errorResultText(R"(a "b" \c)"), R"({"error":"a "b" \c"})");
}

TEST(DescribeLastError, PortugueseTextsAndDecimalCodes) {
  const struct {
    std::uint32_t code;
    const char* text;
  } cases[] = {
      {0x80090019, "Erro ao obter chave privada."},
      {0x8009000D, "A chave n\xC3\xA3o existe"},
      {0x80090016, "Err 2148073494"},
      {5, "Err 5"},
      {0, "Err 0"},
      {0xFFFFFFFF, "Err 4294967295"},
  };
  FakePlatform platform;
  for (const auto& c : cases) {
    platform.setLastError(c.code);
    EXPECT_EQ(describeLastError(platform), c.text) << c.code;
  }
  EXPECT_EQ(describeError(win::kNoKey).size(), 19u);  // UTF-8 bytes
}

}  // namespace
}  // namespace ankor::capi
