// CertCreateCertificateContext parses the certificate; its CERT_INFO gives the DER of
// the names and the serial number (least significant byte first).
#include "ankor/capi/certificate_parts.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <memory>

namespace ankor::capi {
namespace {

struct ContextFree {
  void operator()(PCCERT_CONTEXT context) const noexcept { CertFreeCertificateContext(context); }
};
using Context = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

Bytes blobBytes(const CRYPT_INTEGER_BLOB& blob) {
  return blob.cbData == 0 ? Bytes() : Bytes(blob.pbData, blob.pbData + blob.cbData);
}

// The length of the DER element at the start of the bytes (header and content), or 0
// when its header does not fit in them.
std::size_t elementLength(const Bytes& der) {
  if (der.size() < 2) return 0;
  const std::uint8_t first = der[1];
  if ((first & 0x80) == 0) return 2 + first;
  const std::size_t digits = first & 0x7F;
  if (digits == 0 || digits > sizeof(std::size_t) - 1 || der.size() < 2 + digits) return 0;
  std::size_t length = 0;
  for (std::size_t i = 0; i < digits; ++i) length = (length << 8) | der[2 + i];
  return 2 + digits + length;
}

class CryptoApiCertificateParser final : public CertificateParser {
 public:
  std::optional<CertificateParts> parse(const Bytes& der) const override {
    // Exactly one element: bytes after the certificate are refused here, whatever the
    // decoder makes of them.
    if (der.empty() || der[0] != 0x30 || elementLength(der) != der.size()) return std::nullopt;
    Context context(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size())));
    if (!context || context->pCertInfo == nullptr) return std::nullopt;
    const CERT_INFO& info = *context->pCertInfo;
    CertificateParts parts;
    parts.subject = blobBytes(info.Subject);
    parts.issuer = blobBytes(info.Issuer);
    parts.serial = blobBytes(info.SerialNumber);
    std::reverse(parts.serial.begin(), parts.serial.end());
    if (parts.subject.empty() || parts.issuer.empty() || parts.serial.empty()) return std::nullopt;
    return parts;
  }
};

}  // namespace

const CertificateParser& systemCertificateParser() {
  static const CryptoApiCertificateParser parser;
  return parser;
}

}  // namespace ankor::capi
