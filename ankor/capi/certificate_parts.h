// The platform half of the certificate decoder: taking one DER certificate apart.
// certificate.cpp builds the decoder around it; the texts come from the shared core.
#pragma once

#include <optional>

#include "ankor/core/certificate.h"

namespace ankor::capi {

// The pieces of non-empty bytes that are exactly one DER X.509 certificate (nothing
// after it); nothing otherwise.
std::optional<DecodedCertificate> certificateParts(const Bytes& der);

}  // namespace ankor::capi
