#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "orvask/framework.h"

namespace orvask {

StartupStatus platformStartup() {
  // A descriptor from 0 to 2 that the parent left closed would be taken by the next file
  // opened, and the log would become standard output: each one is opened on /dev/null
  // (open answers the lowest free descriptor). Without standard output the verdict
  // cannot reach the host, so that run ends as a failed start-up.
  bool noStandardOutput = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int placeholder = open("/dev/null", O_RDWR);
    if (placeholder != fd) {
      if (placeholder >= 0) close(placeholder);
      return StartupStatus::NoStandardOutput;
    }
    if (fd == 1) noStandardOutput = true;
  }
  if (noStandardOutput) return StartupStatus::NoStandardOutput;
  // A reader that went away makes a write fail (and the run report it) instead of
  // killing the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return StartupStatus::ProcessSetupFailed;
  return StartupStatus::Ready;
}

}  // namespace orvask
