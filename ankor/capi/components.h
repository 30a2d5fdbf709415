// The CryptoAPI components of ankor, created on first use and kept for the run.
#pragma once

#include "ankor/core/operations.h"

namespace ankor::capi {

KeyStore& keyStoreInstance();
Signer& signerInstance();

}  // namespace ankor::capi
