#include <windows.h>

#include "orvask/framework.h"

namespace orvask {

StartupStatus platformStartup() {
  if (GetModuleHandleA(nullptr) == nullptr) return StartupStatus::NoModuleHandle;
  if (GetCommandLineA() == nullptr) return StartupStatus::FrameworkInitFailed;
  // No "insert a disk" or similar system dialog while the drive is examined.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return StartupStatus::Ready;
}

}  // namespace orvask
