#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "orvask/framework.h"

namespace orvask {

namespace {

// True when the C runtime descriptor has no usable handle behind it.
bool descriptorClosed(int fd) {
  const intptr_t handle = _get_osfhandle(fd);
  return handle == -1 || handle == -2 || handle == 0;
}

}  // namespace

StartupStatus platformStartup() {
  if (GetModuleHandleA(nullptr) == nullptr) return StartupStatus::NoStandardOutput;
  // A descriptor from 0 to 2 without a handle is given the null device, so that no file
  // of the program can take its place. Without standard output the verdict cannot reach
  // the host, so that run ends as a failed start-up.
  bool noStandardOutput = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (!descriptorClosed(fd)) continue;
    const int placeholder = _open("NUL", _O_RDWR | _O_BINARY);
    if (placeholder < 0) return StartupStatus::NoStandardOutput;
    if (placeholder != fd) {
      const bool moved = _dup2(placeholder, fd) == 0;
      _close(placeholder);
      if (!moved) return StartupStatus::NoStandardOutput;
    }
    if (fd == 1) noStandardOutput = true;
  }
  if (noStandardOutput) return StartupStatus::NoStandardOutput;
  if (GetCommandLineA() == nullptr) return StartupStatus::ProcessSetupFailed;
  // No "insert a disk" or similar system dialog while the drive is examined.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return StartupStatus::Ready;
}

}  // namespace orvask
