// The certificate decoder of this build: CertCreateCertificateContext and its CERT_INFO
// on Windows, d2i_X509 on Linux; the texts are rendered by the shared core.
#pragma once

#include "ankor/core/certificate.h"

namespace ankor::capi {

const CertificateDecoder& systemCertificateDecoder();

}  // namespace ankor::capi
