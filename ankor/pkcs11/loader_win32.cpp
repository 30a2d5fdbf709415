#include <windows.h>

#include "ankor/pkcs11/loader_platform.h"

namespace ankor::pkcs11::platform {
namespace {

// "LoadLibraryA <path>: error <code>: <the system's text>".
std::string loadErrorText(const std::string& path, DWORD code) {
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
  return "LoadLibraryA " + path + ": error " + std::to_string(code) + ": " + message;
}

}  // namespace

void* openLibrary(const std::string& path, std::string& error) {
  // A module that fails to load must not open a system error box: nobody would
  // answer it in a windowless child process of the host.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE handle = LoadLibraryA(path.c_str());
  const DWORD code = GetLastError();
  SetErrorMode(previous);
  if (handle == nullptr) error = loadErrorText(path, code);
  return handle;
}

void* findSymbol(void* library, const char* name) noexcept {
  // FARPROC to a plain pointer through one cast, so MinGW does not warn.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) noexcept { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace ankor::pkcs11::platform
