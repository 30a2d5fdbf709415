#include "ankor/core/certificate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ankor {
namespace {

// DER builders for the names of the cases.
Bytes tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<std::uint8_t>(content.size()));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(content.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(content.size()));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// 2.5.4.<n>
Bytes x520(std::uint8_t n) { return tlv(0x06, {0x55, 0x04, n}); }
Bytes attribute(const Bytes& type, const Bytes& value) { return tlv(0x30, join({type, value})); }
Bytes rdn(const std::vector<Bytes>& attributes) { return tlv(0x31, join(attributes)); }
Bytes name(const std::vector<Bytes>& rdns) { return tlv(0x30, join(rdns)); }
Bytes cn(std::uint8_t tag, const Bytes& value) { return rdn({attribute(x520(3), tlv(tag, value))}); }

const Bytes kCountry = rdn({attribute(x520(6), tlv(0x13, text("BR")))});
const Bytes kOrganisation = rdn({attribute(x520(10), tlv(0x0C, text("Ankor Tests")))});

// The RDNs are written last first; the attributes of one RDN in encoded order.
TEST(Rfc4514Name, RendersNamesAndValues) {
  const Bytes email = rdn({attribute(tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}),
                                     tlv(0x16, text("a@b")))});
  const Bytes dc = rdn({attribute(tlv(0x06, {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}),
                                  tlv(0x16, text("example")))});
  const struct {
    const char* rule;
    Bytes der;
    const char* expected;
  } cases[] = {
      {"empty name", name({}), ""},
      {"order reversed", name({kCountry, kOrganisation, cn(0x0C, text("Ana"))}),
       "CN=Ana,O=Ankor Tests,C=BR"},
      {"UTF-8 kept", name({cn(0x0C, text("Jos\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"))}),
       "CN=Jos\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
      {"BMPString to UTF-8", name({cn(0x1E, {0x00, 'J', 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00})}),
       "CN=J\xC3\xA9\xF0\x9F\x98\x80"},
      {"UniversalString", name({cn(0x1C, {0, 0, 0, 'A', 0, 0, 0x20, 0xAC})}), "CN=A\xE2\x82\xAC"},
      {"Teletex as Latin-1", name({cn(0x14, {'S', 0xE3, 'o'})}), "CN=S\xC3\xA3o"},
      {"specials escaped", name({cn(0x0C, text("a,b+c\"d\\e<f>g;h"))}),
       "CN=a\\,b\\+c\\\"d\\\\e\\<f\\>g\\;h"},
      {"leading and trailing", name({cn(0x0C, text(" #x# "))}), "CN=\\ #x#\\ "},
      {"leading hash", name({cn(0x0C, text("#1"))}), "CN=\\#1"},
      {"control characters", name({cn(0x0C, {'a', 0x00, 0x0A, 0x7F})}), "CN=a\\00\\0A\\7F"},
      {"multi-valued RDN", name({rdn({attribute(x520(11), tlv(0x0C, text("Dev"))),
                                      attribute(x520(3), tlv(0x0C, text("Bob")))})}),
       "OU=Dev+CN=Bob"},
      {"unnamed type as hex", name({email}), "1.2.840.113549.1.9.1=#1603614062"},
      {"DC named", name({dc}), "DC=example"},
      {"bad UTF-8 as hex", name({cn(0x0C, {0xC3, 0x28})}), "CN=#0c02c328"},
      {"non-string as hex", name({cn(0x02, {0x05})}), "CN=#020105"},
      {"odd BMPString as hex", name({cn(0x1E, {0x00, 'a', 0x00})}), "CN=#1e030061" "00"},
      {"PrintableString above ASCII", name({cn(0x13, {0xE9})}), "CN=#1301e9"},
  };
  for (const auto& c : cases) {
    const auto rendered = rfc4514Name(c.der);
    ASSERT_TRUE(rendered.has_value()) << c.rule;
    EXPECT_EQ(*rendered, c.expected) << c.rule;
  }
}

// Bytes that are not one whole Name render nothing.
TEST(Rfc4514Name, RefusesMalformedNames) {
  const Bytes good = name({kCountry});
  Bytes trailing = good;
  trailing.push_back(0x00);
  Bytes cut(good.begin(), good.end() - 1);
  const struct {
    const char* rule;
    Bytes der;
  } cases[] = {
      {"nothing", {}},
      {"trailing byte", trailing},
      {"cut short", cut},
      {"not a SEQUENCE", tlv(0x31, {})},
      {"RDN not a SET", name({tlv(0x30, attribute(x520(3), tlv(0x0C, text("a"))))})},
      {"empty RDN", name({tlv(0x31, {})})},
      {"attribute without value", name({rdn({tlv(0x30, x520(3))})})},
      {"attribute with three parts",
       name({rdn({tlv(0x30, join({x520(3), tlv(0x0C, text("a")), tlv(0x0C, text("b"))}))})})},
      {"type not an OID", name({rdn({attribute(tlv(0x04, {0x55}), tlv(0x0C, text("a")))})})},
      {"OID cut in an arc", name({rdn({attribute(tlv(0x06, {0x55, 0x84}), tlv(0x0C, text("a")))})})},
      {"length beyond the bytes", Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) EXPECT_FALSE(rfc4514Name(c.der).has_value()) << c.rule;
}

// The magnitude in lower-case hexadecimal, as openssl x509 -serial shows it.
TEST(SerialNumberText, WritesTheMagnitude) {
  const struct {
    Bytes content;
    const char* expected;
  } cases[] = {
      {{}, "00"},
      {{0x00}, "00"},
      {{0x01}, "01"},
      {{0x00, 0xA1, 0x0B}, "a10b"},
      {{0x00, 0x00, 0x7F}, "7f"},
      {{0xFF}, "-01"},
      {{0xFF, 0x00}, "-0100"},
      {{0x80}, "-80"},
  };
  for (const auto& c : cases) EXPECT_EQ(serialNumberText(c.content), c.expected) << c.expected;
}

TEST(IsoUtcText, FormatsAndRefusesOutOfRange) {
  EXPECT_EQ(isoUtcText({2026, 12, 10, 9, 5, 7}), "2026-12-10T09:05:07Z");
  EXPECT_EQ(isoUtcText({1950, 1, 1, 0, 0, 0}), "1950-01-01T00:00:00Z");
  EXPECT_EQ(isoUtcText({9999, 12, 31, 23, 59, 59}), "9999-12-31T23:59:59Z");
  EXPECT_FALSE(isoUtcText({2026, 13, 1, 0, 0, 0}));
  EXPECT_FALSE(isoUtcText({2026, 1, 0, 0, 0, 0}));
  EXPECT_FALSE(isoUtcText({2026, 1, 1, 24, 0, 0}));
  EXPECT_FALSE(isoUtcText({10000, 1, 1, 0, 0, 0}));
}

class ScriptedDecoder final : public CertificateDecoder {
 public:
  std::optional<CertificateFields> fields;
  std::optional<CertificateFields> decode(const Bytes&) const override { return fields; }
};

// An unreadable certificate keeps its Base64 and gets null decoded members.
TEST(PutCertificateMembers, NullMembersWhenUndecodable) {
  ScriptedDecoder decoder;
  nlohmann::json record = nlohmann::json::object();
  putCertificateMembers(record, {0x01, 0x02}, decoder);
  EXPECT_EQ(record.dump(),
            R"({"certificate":"AQI=","issuer":null,"notAfter":null,"notBefore":null,)"
            R"("serialNumber":null,"subject":null})");
  decoder.fields = CertificateFields{"CN=s", "CN=i", "0a", "2026-01-01T00:00:00Z",
                                     "2027-01-01T00:00:00Z"};
  putCertificateMembers(record, {0x01, 0x02}, decoder);
  EXPECT_EQ(record.dump(),
            R"({"certificate":"AQI=","issuer":"CN=i","notAfter":"2027-01-01T00:00:00Z",)"
            R"("notBefore":"2026-01-01T00:00:00Z","serialNumber":"0a","subject":"CN=s"})");
}

// A name or a time that does not render leaves the whole certificate undecoded.
TEST(DescribeCertificate, AllOrNothing) {
  DecodedCertificate decoded{name({kCountry}), name({kOrganisation}), {0x00, 0xFF},
                             {2026, 1, 2, 3, 4, 5}, {2027, 1, 2, 3, 4, 5}};
  const auto fields = describeCertificate(decoded);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->subject, "C=BR");
  EXPECT_EQ(fields->issuer, "O=Ankor Tests");
  EXPECT_EQ(fields->serialNumber, "ff");
  EXPECT_EQ(fields->notBefore, "2026-01-02T03:04:05Z");
  EXPECT_EQ(fields->notAfter, "2027-01-02T03:04:05Z");
  decoded.issuer = {0x30};
  EXPECT_FALSE(describeCertificate(decoded));
  decoded.issuer = name({});
  decoded.notAfter.month = 0;
  EXPECT_FALSE(describeCertificate(decoded));
}

}  // namespace
}  // namespace ankor
