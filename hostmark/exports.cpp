// The two C exports: the platform's source and digest, the buffer contract, and
// nothing thrown across the boundary.
#include "hostmark/TarvoHostmark.h"

#include "hostmark/fingerprint.h"

extern "C" {

unsigned int TARVO_HOSTMARK_CALL retrieveMachineID(char* buffer, unsigned int secureProxy) {
  try {
    const auto source = hostmark::createIdentitySource();
    const auto digest = hostmark::createDigest();
    return hostmark::retrieveIntoBuffer(*source, *digest, buffer, secureProxy);
  } catch (...) {
    return hostmark::kOutOfMemory;
  }
}

unsigned int TARVO_HOSTMARK_CALL retrieveMachineIDOT(const char* key, char* buffer,
                                                     unsigned int secureProxy) {
  try {
    const auto source = hostmark::createIdentitySource();
    const auto digest = hostmark::createDigest();
    return hostmark::retrieveKeyedIntoBuffer(*source, *digest, key, buffer, secureProxy);
  } catch (...) {
    return hostmark::kOutOfMemory;
  }
}

}  // extern "C"
