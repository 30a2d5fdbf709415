// Loading a vendor module and looking its functions up by name: the platform shim
// (dlopen/dlsym/dlclose on Linux, LoadLibraryA/GetProcAddress/FreeLibrary on Windows)
// and the module table of the platform.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ankor::pkcs11 {

// One row of the module table: the code and its two recorded locations. Only the
// first location is ever loaded.
struct ModuleRow {
  std::string code;
  std::string firstLocation;
  std::string secondLocation;
};

// The seven rows in table order (GD, ET, AT, BR, OB, EP, DX). On Windows the
// vendors' fixed paths; on Linux configured defaults, each replaced at run time by
// the environment variable ANKOR_PKCS11_MODULE_<code> when it is set and not empty.
std::vector<ModuleRow> moduleTable();

// A loaded library; unloading it is the owner's destruction.
class Library {
 public:
  virtual ~Library() = default;
  // GetProcAddress / dlsym: the exported function of that name, or nullptr.
  [[nodiscard]] virtual void* symbol(const char* name) const = 0;
};

class Loader {
 public:
  virtual ~Loader() = default;
  // fileExists of the shared encodings: status information exists for the path.
  [[nodiscard]] virtual bool exists(const std::string& path) = 0;
  // LoadLibraryA / dlopen(RTLD_NOW | RTLD_LOCAL); nullptr when the system refuses.
  [[nodiscard]] virtual std::unique_ptr<Library> load(const std::string& path) = 0;
};

// The platform's loader.
Loader& systemLoader();

}  // namespace ankor::pkcs11
