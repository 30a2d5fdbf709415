#include "hostmark/this_machine.h"

#include "common/dll_search.h"
#include "hostmark/fingerprint.h"

namespace hostmark {

Status retrieveOnThisMachine(Identifier identifier, const char* key, char* buffer,
                             unsigned int secureProxy) noexcept {
  try {
    // The COM and WMI servers the collection loads must not come from the working
    // directory of the host (which is the caller's process: the setting stays).
    (void)tarvo::removeWorkingDirectoryFromDllSearch();
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
