#include <dlfcn.h>

#include <cstdlib>
#include <utility>

#include "ankor/front/encoding.h"
#include "ankor/pkcs11/loader.h"

namespace ankor::pkcs11 {
namespace {

// Owner of one dlopen handle.
class SharedLibrary final : public Library {
 public:
  explicit SharedLibrary(void* handle) noexcept : handle_(handle) {}
  ~SharedLibrary() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  // A copy would dlclose the same handle a second time.
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
      if (handle_ != nullptr) dlclose(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  void* symbol(const char* name) const override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

class SystemLoader final : public Loader {
 public:
  bool exists(const std::string& path) override { return fileExists(path); }
  std::unique_ptr<Library> load(const std::string& path) override {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    return std::make_unique<SharedLibrary>(handle);
  }
};

ModuleRow row(const char* code, const char* configured, const char* second) {
  ModuleRow result{code, configured, second};
  const std::string variable = std::string("ANKOR_PKCS11_MODULE_") + code;
  if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != '\0') {
    result.firstLocation = value;
  }
  return result;
}

}  // namespace

// Defaults come from the CMake cache (ANKOR_PKCS11_<code>_PATH).
std::vector<ModuleRow> moduleTable() {
  return {
      row("GD", ANKOR_PKCS11_GD_PATH, "/usr/local/lib/libaetpkss.so"),
      row("ET", ANKOR_PKCS11_ET_PATH, "/usr/local/lib/libeTPkcs11.so"),
      row("AT", ANKOR_PKCS11_AT_PATH, "/usr/local/lib/libASEP11.so"),
      row("BR", ANKOR_PKCS11_BR_PATH, "/usr/local/lib/libbanrisulp11.so"),
      row("OB", ANKOR_PKCS11_OB_PATH, "/usr/local/lib/libOcsCryptoki.so"),
      row("EP", ANKOR_PKCS11_EP_PATH, "/usr/local/lib/libcastle.so.1.0.0"),
      row("DX", ANKOR_PKCS11_DX_PATH, "/usr/local/lib/libdxsafep11.so"),
  };
}

Loader& systemLoader() {
  static SystemLoader loader;
  return loader;
}

}  // namespace ankor::pkcs11
