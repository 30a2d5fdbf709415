// The PKCS#11 manager of the run, as the program hands it to the front end.
#pragma once

#include <string>

#include "ankor/core/certificate_parts.h"
#include "ankor/core/digest.h"
#include "ankor/core/operations.h"

namespace ankor::pkcs11 {

// P11Manager::instance: made on the first call from the type code, then kept. The
// digester and the certificate parser (the program's, from the CryptoAPI room) must
// outlive the manager.
TokenManager& managerInstance(const std::string& typeCode, const Digester& digester,
                              const CertificateParser& parser);
// Finalises and unloads the modules; nothing when no manager exists.
void releaseManager() noexcept;

}  // namespace ankor::pkcs11
