// Until the token operations are built, obtaining the manager fails with a clear
// message instead of pretending to succeed.
#include "ankor/pkcs11/components.h"

#include <stdexcept>

namespace ankor::pkcs11 {

TokenManager& managerInstance(const std::string&) {
  throw std::runtime_error("pkcs11 token access is not available in this build");
}

void releaseManager() noexcept {}

}  // namespace ankor::pkcs11
