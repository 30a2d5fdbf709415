// Loading a vendor module and looking its functions up by name: the platform shim
// (dlopen/dlsym/dlclose on Linux, LoadLibraryA/GetProcAddress/FreeLibrary on Windows)
// behind a small interface that the tests replace.
#pragma once

#include <memory>
#include <string>

namespace ankor::pkcs11 {

// A loaded library; unloading it is the owner's destruction.
class Library {
 public:
  virtual ~Library() = default;
  // GetProcAddress / dlsym: the exported function of that name, or nullptr.
  [[nodiscard]] virtual void* symbol(const char* name) const = 0;
};

// What a load gave: the library, or none and the system's reason.
struct LoadResult {
  std::unique_ptr<Library> library;
  // dlerror() / GetLastError() with its text when no library came; empty otherwise.
  std::string error;
};

class Loader {
 public:
  virtual ~Loader() = default;
  // fileExists of the shared encodings: status information exists for the path.
  [[nodiscard]] virtual bool exists(const std::string& path) = 0;
  // LoadLibraryA / dlopen(RTLD_NOW | RTLD_LOCAL).
  [[nodiscard]] virtual LoadResult load(const std::string& path) = 0;
};

// The platform's loader.
Loader& systemLoader();

}  // namespace ankor::pkcs11
