// The two C exports: the computation on this machine, nothing thrown across the boundary.
#include "hostmark/TarvoHostmark.h"

#include "hostmark/this_machine.h"

extern "C" {

unsigned int TARVO_HOSTMARK_CALL retrieveMachineID(char* buffer, unsigned int secureProxy) {
  return hostmark::retrieveOnThisMachine(hostmark::Identifier::Plain, nullptr, buffer,
                                         secureProxy);
}

unsigned int TARVO_HOSTMARK_CALL retrieveMachineIDOT(const char* key, char* buffer,
                                                     unsigned int secureProxy) {
  return hostmark::retrieveOnThisMachine(hostmark::Identifier::Keyed, key, buffer, secureProxy);
}

}  // extern "C"
