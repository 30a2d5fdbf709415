#include <windows.h>

#include "common/dll_search.h"

namespace tarvo {

bool removeWorkingDirectoryFromDllSearch() noexcept {
  // Looked up at run time: the call exists from Windows 8 on (and on Windows 7 with
  // KB2533623), and the programs must still start where it does not.
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto setDefault = kernel == nullptr ? nullptr
                                            : reinterpret_cast<SetDefaultDirectories>(reinterpret_cast<void*>(
                                                  GetProcAddress(kernel, "SetDefaultDllDirectories")));
  // The application's directory, System32 and directories added by AddDllDirectory.
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != FALSE) return true;
  // An empty text takes the working directory out of the classic search order.
  return SetDllDirectoryA("") != FALSE;
}

}  // namespace tarvo
