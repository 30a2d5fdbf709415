#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "ankor/front/process.h"

namespace ankor {

void prepareProcess() noexcept {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // Failure leaves the default action; there is nothing better to do then.
  (void)sigaction(SIGPIPE, &ignore, nullptr);
}

std::string readStandardInput(std::size_t maxBytes) {
  std::string buffer(maxBytes, '\0');
  std::size_t used = 0;
  while (used < maxBytes) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data() + used, maxBytes - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input, or no standard input at all
    const bool lineEnd = std::memchr(buffer.data() + used, '\n', static_cast<std::size_t>(n)) != nullptr;
    used += static_cast<std::size_t>(n);
    if (lineEnd) break;
  }
  buffer.resize(used);  // shrinking keeps the buffer
  return buffer;
}

}  // namespace ankor
