// The PKCS#11 manager of the run, as the program hands it to the front end.
#pragma once

#include <string>

#include "ankor/core/certificate.h"
#include "ankor/core/digest.h"
#include "ankor/core/operations.h"

namespace ankor::pkcs11 {

// P11Manager::instance: made on the first call from the type code, then kept. The
// digester and the certificate decoder (the program's, from the CryptoAPI room) must
// outlive the manager.
TokenManager& managerInstance(const std::string& typeCode, const Digester& digester,
                              const CertificateDecoder& decoder);
// Finalises and unloads the modules; nothing when no manager exists.
void releaseManager() noexcept;
// The inspection of the modules of a code (system info modules), on this build's module
// table and loader; it uses no manager.
ModuleInspector& moduleInspectorInstance();

}  // namespace ankor::pkcs11
