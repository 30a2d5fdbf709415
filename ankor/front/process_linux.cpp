#include <csignal>

#include "ankor/front/process.h"

namespace ankor {

void prepareProcess() noexcept {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // Failure leaves the default action; there is nothing better to do then.
  (void)sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace ankor
