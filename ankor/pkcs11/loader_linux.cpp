#include <dlfcn.h>

#include "ankor/pkcs11/loader_platform.h"

namespace ankor::pkcs11::platform {

void* openLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* findSymbol(void* library, const char* name) noexcept { return dlsym(library, name); }

void closeLibrary(void* library) noexcept { dlclose(library); }

}  // namespace ankor::pkcs11::platform
