#include "hostmark/this_machine.h"

#include "hostmark/fingerprint.h"

namespace hostmark {

Status retrieveOnThisMachine(Identifier identifier, const char* key, char* buffer,
                             unsigned int secureProxy) noexcept {
  try {
    const auto source = createIdentitySource();
    const auto digest = createDigest();
    return identifier == Identifier::Keyed
               ? retrieveKeyedIntoBuffer(*source, *digest, key, buffer, secureProxy)
               : retrieveIntoBuffer(*source, *digest, buffer, secureProxy);
  } catch (...) {
    return kOutOfMemory;
  }
}

}  // namespace hostmark
