#include <dlfcn.h>

#include "ankor/pkcs11/loader_platform.h"

namespace ankor::pkcs11::platform {

void* openLibrary(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen " + path + ": no reason given";
  }
  return library;
}

void* findSymbol(void* library, const char* name) noexcept { return dlsym(library, name); }

void closeLibrary(void* library) noexcept { dlclose(library); }

}  // namespace ankor::pkcs11::platform
