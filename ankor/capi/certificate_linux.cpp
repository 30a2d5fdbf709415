// The certificate decoder on Linux: OpenSSL parses the certificate and hands over the
// DER of its names, its serial number and its validity.
#include "ankor/capi/certificate_parts.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

namespace ankor::capi {
namespace {

struct X509Free {
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

// i2d of a Name or an INTEGER into bytes; empty when it cannot be encoded.
template <typename T, typename Encode>
Bytes encoded(const T* object, Encode encode) {
  const int size = encode(object, nullptr);
  if (size <= 0) return {};
  Bytes der(static_cast<std::size_t>(size));
  std::uint8_t* cursor = der.data();
  if (encode(object, &cursor) != size) return {};
  return der;
}

// The content of a DER INTEGER; nothing when it is not one.
std::optional<Bytes> integerContent(const Bytes& der) {
  const auto header = derHeader(der.data(), der.size());
  if (!header || header->tag != 0x02 || header->headerLength + header->contentLength != der.size()) {
    return std::nullopt;
  }
  return Bytes(der.begin() + static_cast<std::ptrdiff_t>(header->headerLength), der.end());
}

std::optional<UtcTime> timeOf(const ASN1_TIME* time) {
  std::tm broken{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &broken) != 1) return std::nullopt;
  return UtcTime{broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday,
                 broken.tm_hour,        broken.tm_min,     broken.tm_sec};
}

}  // namespace

std::optional<DecodedCertificate> certificateParts(const Bytes& der) {
  const std::uint8_t* cursor = der.data();
  Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // Bytes after the certificate make it another thing than one DER certificate.
  if (!certificate || cursor != der.data() + der.size()) return std::nullopt;
  DecodedCertificate decoded;
  decoded.subject = encoded(X509_get_subject_name(certificate.get()), i2d_X509_NAME);
  decoded.issuer = encoded(X509_get_issuer_name(certificate.get()), i2d_X509_NAME);
  const auto serial =
      integerContent(encoded(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER));
  const auto notBefore = timeOf(X509_get0_notBefore(certificate.get()));
  const auto notAfter = timeOf(X509_get0_notAfter(certificate.get()));
  if (!serial || !notBefore || !notAfter) return std::nullopt;
  decoded.serial = *serial;
  decoded.notBefore = *notBefore;
  decoded.notAfter = *notAfter;
  return decoded;
}

}  // namespace ankor::capi
