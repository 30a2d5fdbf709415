// OpenSSL parses the certificate and hands over the DER of its names and its serial.
#include "ankor/capi/certificate_parts.h"

#include <climits>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/x509.h>

namespace ankor::capi {
namespace {

struct X509Free {
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

// i2d_X509_NAME into bytes; empty when the name cannot be encoded.
Bytes nameDer(const X509_NAME* name) {
  const int size = i2d_X509_NAME(name, nullptr);
  if (size <= 0) return {};
  Bytes der(static_cast<std::size_t>(size));
  unsigned char* cursor = der.data();
  if (i2d_X509_NAME(name, &cursor) != size) return {};
  return der;
}

// The content of the serial INTEGER as it is encoded (two's complement).
Bytes serialContent(const ASN1_INTEGER* serial) {
  const int size = i2d_ASN1_INTEGER(serial, nullptr);
  if (size <= 2) return {};
  Bytes der(static_cast<std::size_t>(size));
  unsigned char* cursor = der.data();
  if (i2d_ASN1_INTEGER(serial, &cursor) != size) return {};
  const unsigned char* content = der.data();
  long length = 0;
  int tag = 0, objectClass = 0;
  if (ASN1_get_object(&content, &length, &tag, &objectClass, size) & 0x80) return {};
  if (tag != V_ASN1_INTEGER || length <= 0 || content + length != der.data() + der.size()) {
    return {};
  }
  return Bytes(content, content + length);
}

class OpenSslCertificateParser final : public CertificateParser {
 public:
  std::optional<CertificateParts> parse(const Bytes& der) const override {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return std::nullopt;
    const unsigned char* cursor = der.data();
    Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    // Bytes after the certificate make it another thing than one DER certificate.
    if (!certificate || cursor != der.data() + der.size()) return std::nullopt;
    CertificateParts parts;
    parts.subject = nameDer(X509_get_subject_name(certificate.get()));
    parts.issuer = nameDer(X509_get_issuer_name(certificate.get()));
    parts.serial = serialContent(X509_get0_serialNumber(certificate.get()));
    if (parts.subject.empty() || parts.issuer.empty() || parts.serial.empty()) return std::nullopt;
    return parts;
  }
};

}  // namespace

const CertificateParser& systemCertificateParser() {
  static const OpenSslCertificateParser parser;
  return parser;
}

}  // namespace ankor::capi
