// The certificate decoder on Windows: CertCreateCertificateContext parses the
// certificate; its CERT_INFO gives the DER of the names, the serial number (least
// significant byte first) and the validity as FILETIMEs.
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

std::optional<UtcTime> timeOf(const FILETIME& time) {
  SYSTEMTIME system{};
  if (!FileTimeToSystemTime(&time, &system)) return std::nullopt;
  return UtcTime{system.wYear, system.wMonth, system.wDay,
                 system.wHour, system.wMinute, system.wSecond};
}

}  // namespace

std::optional<DecodedCertificate> certificateParts(const Bytes& der) {
  Context context(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                               der.data(), static_cast<DWORD>(der.size())));
  if (!context || context->pCertInfo == nullptr) return std::nullopt;
  // Bytes after the certificate make it another thing than one DER certificate.
  const auto header = derHeader(der.data(), der.size());
  if (!header || header->headerLength + header->contentLength != der.size()) {
    return std::nullopt;
  }
  const CERT_INFO& info = *context->pCertInfo;
  DecodedCertificate decoded;
  decoded.subject = blobBytes(info.Subject);
  decoded.issuer = blobBytes(info.Issuer);
  decoded.serial = blobBytes(info.SerialNumber);
  std::reverse(decoded.serial.begin(), decoded.serial.end());
  const auto notBefore = timeOf(info.NotBefore);
  const auto notAfter = timeOf(info.NotAfter);
  if (!notBefore || !notAfter) return std::nullopt;
  decoded.notBefore = *notBefore;
  decoded.notAfter = *notAfter;
  return decoded;
}

}  // namespace ankor::capi
