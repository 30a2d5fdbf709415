// The certificate parser of this build, for the token room's certificate import:
// CertCreateCertificateContext and its CERT_INFO on Windows, d2i_X509 on Linux.
#pragma once

#include "ankor/core/certificate_parts.h"

namespace ankor::capi {

const CertificateParser& systemCertificateParser();

}  // namespace ankor::capi
