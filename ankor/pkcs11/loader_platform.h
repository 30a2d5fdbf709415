// The three calls a platform gives for a shared library, behind the shared loader
// (loader.cpp): loader_linux.cpp and loader_win32.cpp define them.
#pragma once

#include <string>

namespace ankor::pkcs11::platform {

// dlopen(RTLD_NOW | RTLD_LOCAL) / LoadLibraryExA (LoadLibraryA where its search flags
// are unknown); nullptr when the system refuses, and then error holds the system's
// reason (dlerror() / the deciding call, its GetLastError() code and text).
void* openLibrary(const std::string& path, std::string& error);
// dlsym / GetProcAddress: the exported function of that name, or nullptr.
void* findSymbol(void* library, const char* name) noexcept;
// dlclose / FreeLibrary.
void closeLibrary(void* library) noexcept;

}  // namespace ankor::pkcs11::platform
