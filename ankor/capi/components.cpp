// The run's CryptoAPI components, on the back-end of this build.
#include "ankor/capi/components.h"

#include "ankor/capi/keystore.h"
#include "ankor/capi/platform.h"
#include "ankor/capi/signer.h"

namespace ankor::capi {

KeyStore& keyStoreInstance() {
  static CapiKeyStore instance(systemPlatform());
  return instance;
}

Signer& signerInstance() {
  static CapiSigner instance(systemPlatform());
  return instance;
}

}  // namespace ankor::capi
