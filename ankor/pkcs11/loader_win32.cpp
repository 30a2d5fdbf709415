#include <windows.h>

#include "ankor/pkcs11/loader_platform.h"

namespace ankor::pkcs11::platform {
namespace {

// "<call> <path>: error <code>: <the system's text>".
std::string loadErrorText(const char* call, const std::string& path, DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : "";
  if (text != nullptr) LocalFree(text);
  // The system's texts end in a line break.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ')) {
    message.pop_back();
  }
  return std::string(call) + " " + path + ": error " + std::to_string(code) + ": " + message;
}

}  // namespace

void* openLibrary(const std::string& path, std::string& error) {
  // A module that fails to load must not open a system error box: nobody would
  // answer it in a windowless child process of the host.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // The module's own directory, then the process's default ones (never the working
  // directory, see dll_search.h) supply its dependencies. Systems without these flags
  // answer ERROR_INVALID_PARAMETER and load it the classic way. The error code is read
  // right after the call whose result stands.
  HMODULE handle =
      LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  DWORD code = handle == nullptr ? GetLastError() : ERROR_SUCCESS;
  const char* call = "LoadLibraryExA";
  if (handle == nullptr && code == ERROR_INVALID_PARAMETER) {
    handle = LoadLibraryA(path.c_str());
    code = handle == nullptr ? GetLastError() : ERROR_SUCCESS;
    call = "LoadLibraryA";
  }
  SetErrorMode(previous);
  if (handle == nullptr) error = loadErrorText(call, path, code);
  return handle;
}

void* findSymbol(void* library, const char* name) noexcept {
  // FARPROC to a plain pointer through one cast, so MinGW does not warn.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) noexcept { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace ankor::pkcs11::platform
