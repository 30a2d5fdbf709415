#include <csignal>
#include <cstdio>

#include "orvask/framework.h"

namespace orvask {

StartupStatus platformStartup() {
  // The verdict goes to standard output; without it the run cannot answer.
  if (std::ferror(stdout) != 0) return StartupStatus::NoModuleHandle;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return StartupStatus::FrameworkInitFailed;
  return StartupStatus::Ready;
}

}  // namespace orvask
