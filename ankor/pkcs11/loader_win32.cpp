#include <windows.h>

#include "ankor/pkcs11/loader_platform.h"

namespace ankor::pkcs11::platform {

void* openLibrary(const std::string& path) {
  // A module that fails to load must not open a system error box: nobody would
  // answer it in a windowless child process of the host.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // The module's own directory, then the process's default ones (never the working
  // directory, see dll_search.h) supply its dependencies. Systems without these flags
  // answer ERROR_INVALID_PARAMETER and load it the classic way.
  HMODULE handle =
      LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (handle == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) handle = LoadLibraryA(path.c_str());
  SetErrorMode(previous);
  return handle;
}

void* findSymbol(void* library, const char* name) noexcept {
  // FARPROC to a plain pointer through one cast, so MinGW does not warn.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) noexcept { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace ankor::pkcs11::platform
