// The certificate decoder of this build. The same certificate must read the same on
// both targets (CryptoAPI on Windows, OpenSSL on Linux), so the expected texts are
// written once here and this test runs on both.
#include "ankor/capi/certificate.h"

#include <gtest/gtest.h>

#include <string>

namespace ankor::capi {
namespace {

// Subject and issuer C=BR, ST=São Paulo, O="Ankor Testes, Ltda", one RDN of OU=Dev and
// CN=José Ñandú, CN="日本 #1 " (UTF8Strings, a trailing space); serial 00 f1 e2 ... 99.
const char* const kCertificate =
    "MIICwjCCAiugAwIBAgIKAPHi08S1ppeImTANBgkqhkiG9w0BAQsFADB4MQswCQYDVQQGEwJCUjET"
    "MBEGA1UECAwKU8OjbyBQYXVsbzEbMBkGA1UECgwSQW5rb3IgVGVzdGVzLCBMdGRhMSIwCgYDVQQL"
    "DANEZXYwFAYDVQQDDA1Kb3PDqSDDkWFuZMO6MRMwEQYDVQQDDArml6XmnKwgIzEgMB4XDTI2MTIx"
    "MDExNTQyOFoXDTI4MDExNDExNTQyOFoweDELMAkGA1UEBhMCQlIxEzARBgNVBAgMClPDo28gUGF1"
    "bG8xGzAZBgNVBAoMEkFua29yIFRlc3RlcywgTHRkYTEiMAoGA1UECwwDRGV2MBQGA1UEAwwNSm9z"
    "w6kgw5FhbmTDujETMBEGA1UEAwwK5pel5pysICMxIDCBnzANBgkqhkiG9w0BAQEFAAOBjQAwgYkC"
    "gYEAwfC4cwkppwLt6Z/1sVUXMC4GXBFGN4KX0LP/WJPxlFxzMLcNP9JcavhX4ONygcwb3sRrmJwZ"
    "EHK9OZ+qnnpOPOYdDFXPjGjFHnRo17dTsGgWt3Uu0pYz37CBHZSs8O2JJcBMsOHGdIAJXqKUt5MD"
    "JH9m5bVeIVxiKt91Mw1PHY8CAwEAAaNTMFEwHQYDVR0OBBYEFBYyYGei/6Xsfh63P0Mr4KjHf8mR"
    "MB8GA1UdIwQYMBaAFBYyYGei/6Xsfh63P0Mr4KjHf8mRMA8GA1UdEwEB/wQFMAMBAf8wDQYJKoZI"
    "hvcNAQELBQADgYEAr2398x75vPWotsMLpUaeT/G7l/6jvMVeEnWU9NDm8cUE/cPVWTdzKg/JF+g7"
    "6BxX8FsyW9do5tsNRvgunANhq1g9nrETLELUEiwC3iRQEAuVxX4S8AdBhHkuSIwNx4bNXrdXcx/J"
    "czV2hGVMgrRj97d6iqysahtGVqkaZQug6w8="
    ;

TEST(CertificateDecoder, SameTextsOnEveryTarget) {
  const auto fields = systemCertificateDecoder().decode(base64Decode(kCertificate));
  ASSERT_TRUE(fields.has_value());
  const std::string name =
      "CN=\xE6\x97\xA5\xE6\x9C\xAC #1\\ ,OU=Dev+CN=Jos\xC3\xA9 \xC3\x91" "and\xC3\xBA,"
      "O=Ankor Testes\\, Ltda,ST=S\xC3\xA3o Paulo,C=BR";
  EXPECT_EQ(fields->subject, name);
  EXPECT_EQ(fields->issuer, name);
  EXPECT_EQ(fields->serialNumber, "f1e2d3c4b5a6978899");
  EXPECT_EQ(fields->notBefore, "2026-12-10T11:54:28Z");
  EXPECT_EQ(fields->notAfter, "2028-01-14T11:54:28Z");
}

// Bytes that are not exactly one certificate decode to nothing.
TEST(CertificateDecoder, RefusesWhatIsNotOneCertificate) {
  const Bytes der = base64Decode(kCertificate);
  Bytes trailing = der;
  trailing.push_back(0);
  const Bytes cut(der.begin(), der.end() - 1);
  Bytes damaged = der;
  damaged[4] = 0x05;  // the TBSCertificate's tag
  const auto& decoder = systemCertificateDecoder();
  EXPECT_FALSE(decoder.decode({}));
  EXPECT_FALSE(decoder.decode({0x30, 0x00}));
  EXPECT_FALSE(decoder.decode(trailing));
  EXPECT_FALSE(decoder.decode(cut));
  EXPECT_FALSE(decoder.decode(damaged));
  EXPECT_FALSE(decoder.decode(Bytes{'n', 'o', 't'}));
}

}  // namespace
}  // namespace ankor::capi
