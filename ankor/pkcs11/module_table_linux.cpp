#include <cstdlib>

#include "ankor/pkcs11/loader.h"
#include "ankor/pkcs11/module_paths_linux.h"

namespace ankor::pkcs11 {
namespace {

// A row whose first location ANKOR_PKCS11_MODULE_<code> replaces when set and not empty.
ModuleRow row(const char* code, const char* configured, const char* second) {
  ModuleRow result{code, configured, second};
  const std::string variable = std::string("ANKOR_PKCS11_MODULE_") + code;
  if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != '\0') {
    result.firstLocation = value;
  }
  return result;
}

}  // namespace

std::vector<ModuleRow> moduleTable() {
  return {
      row("GD", kModulePathGD, "/usr/local/lib/libaetpkss.so"),
      row("ET", kModulePathET, "/usr/local/lib/libeTPkcs11.so"),
      row("AT", kModulePathAT, "/usr/local/lib/libASEP11.so"),
      row("BR", kModulePathBR, "/usr/local/lib/libbanrisulp11.so"),
      row("OB", kModulePathOB, "/usr/local/lib/libOcsCryptoki.so"),
      row("EP", kModulePathEP, "/usr/local/lib/libcastle.so.1.0.0"),
      row("DX", kModulePathDX, "/usr/local/lib/libdxsafep11.so"),
  };
}

}  // namespace ankor::pkcs11
