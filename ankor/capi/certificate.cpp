// The certificate decoder of both targets: the platform takes the certificate apart
// (certificate_parts.h), the shared core renders the pieces.
#include "ankor/capi/certificate.h"

#include "ankor/capi/certificate_parts.h"

namespace ankor::capi {
namespace {

class SystemCertificateDecoder final : public CertificateDecoder {
 public:
  std::optional<CertificateFields> decode(const Bytes& der) const override {
    const auto decoded = parse(der);
    if (!decoded) return std::nullopt;
    return describeCertificate(*decoded);
  }

  std::optional<DecodedCertificate> parse(const Bytes& der) const override {
    if (der.empty()) return std::nullopt;
    return certificateParts(der);
  }
};

}  // namespace

const CertificateDecoder& systemCertificateDecoder() {
  static const SystemCertificateDecoder decoder;
  return decoder;
}

}  // namespace ankor::capi
