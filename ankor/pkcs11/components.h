// The PKCS#11 manager of the run, as the front end reaches it.
#pragma once

#include <string>

#include "ankor/front/operations.h"

namespace ankor::pkcs11 {

// P11Manager::instance: made on the first call from the type code, then kept.
TokenManager& managerInstance(const std::string& typeCode);
// Finalises and unloads the modules; nothing when no manager exists.
void releaseManager() noexcept;

}  // namespace ankor::pkcs11
