// The certificate decoder of this build taking apart a certificate made by openssl
// (subject CN=Parser test, O=Ankor; issuer CN=Parser CA; serial 0x8F0102, encoded
// with a leading zero byte): the DER of its names and its serial's content, and
// nothing for what is not exactly one certificate.
#include "ankor/capi/certificate.h"

#include <gtest/gtest.h>

#include <string>

namespace ankor::capi {
namespace {

const Bytes kCertificate = base64Decode(
    "MIIBrDCCARUCBACPAQIwDQYJKoZIhvcNAQELBQAwFDESMBAGA1UEAwwJUGFyc2VyIENBMB4XDTI2MTIxMDEyMTc1NloXDTM2MTIwNzEyMTc1NlowJjEUMBIGA1UEAwwLUGFyc2VyIHRlc3QxDjAMBgNVBAoMBUFua29yMIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC1jqYZ/hPe0JvAkSJqANb9ESRVgJ7X+tpm1OS2oiDVWmJv0giuH4D4AltTpgjDfZwCwMpGiaHGYIGPU2XWDbQbcatMk3NJ5JWTLW782Z3jMpbPKgTrpkkJaRdBybts+/Xj4uJWmPVCVoedCwoXJeNU8HvM9pdk5ZZz3KdMVxfSAQIDAQABMA0GCSqGSIb3DQEBCwUAA4GBAA6NW/kz1bnX2+1MxI1P8lw7jaMWWcUMYOr1ePM1PLVePdqzygrwAMMsI8nghAaCnhvmNSfyjl0/C6j9DgfdV/TK0nKjY0GCEWFosKpcQYTFSruKuMKE9PfWyQNYss4NwsY2QIsMbApZZxx4CbNYcXdTWYC7jf3i0e/HqOlqKeFf");

TEST(CertificateParse, NamesAndSerialOfACertificate) {
  const auto parts = systemCertificateDecoder().parse(kCertificate);
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(hexEncode(parts->issuer), "30143112301006035504030c09506172736572204341");
  EXPECT_EQ(hexEncode(parts->subject),
            "30263114301206035504030c0b5061727365722074657374310e300c060355040a0c05416e6b6f72");
  EXPECT_EQ(hexEncode(parts->serial), "008f0102");
  EXPECT_EQ(hexEncode(derInteger(parts->serial)), "0204008f0102");
}

TEST(CertificateParse, OnlyExactlyOneCertificate) {
  Bytes longer = kCertificate;
  longer.push_back(0);
  Bytes twice = kCertificate;
  twice.insert(twice.end(), kCertificate.begin(), kCertificate.end());
  const Bytes cut(kCertificate.begin(), kCertificate.end() - 1);
  Bytes damaged = kCertificate;
  damaged[8] = 0x05;  // the serial's INTEGER tag
  const std::string pem = "-----BEGIN CERTIFICATE-----\n" + base64Encode(kCertificate) +
                          "\n-----END CERTIFICATE-----\n";
  const std::string text = "not a certificate";
  for (const Bytes& input : {Bytes(), longer, twice, cut, damaged, Bytes(pem.begin(), pem.end()),
                             Bytes(text.begin(), text.end()), Bytes{0x30, 0x00}}) {
    EXPECT_FALSE(systemCertificateDecoder().parse(input).has_value()) << hexEncode(input);
  }
}

}  // namespace
}  // namespace ankor::capi
