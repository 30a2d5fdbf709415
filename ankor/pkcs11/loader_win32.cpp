#include <windows.h>

#include <utility>

#include "ankor/front/encoding.h"
#include "ankor/pkcs11/loader.h"

namespace ankor::pkcs11 {
namespace {

// Owner of one module handle from LoadLibraryA.
class SharedLibrary final : public Library {
 public:
  explicit SharedLibrary(HMODULE handle) noexcept : handle_(handle) {}
  ~SharedLibrary() override {
    if (handle_ != nullptr) FreeLibrary(handle_);
  }
  // A copy would FreeLibrary the same handle a second time.
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  SharedLibrary(SharedLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SharedLibrary& operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
      if (handle_ != nullptr) FreeLibrary(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  void* symbol(const char* name) const override {
    // FARPROC to a plain pointer through one cast, so MinGW does not warn.
    return reinterpret_cast<void*>(GetProcAddress(handle_, name));
  }

 private:
  HMODULE handle_;
};

class SystemLoader final : public Loader {
 public:
  bool exists(const std::string& path) override { return fileExists(path); }
  std::unique_ptr<Library> load(const std::string& path) override {
    // A module that fails to load must not open a system error box: nobody would
    // answer it in a windowless child process of the host.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE handle = LoadLibraryA(path.c_str());
    SetErrorMode(previous);
    if (handle == nullptr) return nullptr;
    return std::make_unique<SharedLibrary>(handle);
  }
};

}  // namespace

// The vendors' fixed locations; no environment variable is read on Windows.
std::vector<ModuleRow> moduleTable() {
  return {
      {"GD", "C:\\Windows\\SysWOW64\\aetpkss1.dll", "C:\\Windows\\System32\\aetpkss1.dll"},
      {"ET", "C:\\Windows\\SysWOW64\\eTPKCS11.dll", "C:\\Windows\\System32\\eTPKCS11.dll"},
      {"AT", "C:\\Windows\\SysWOW64\\asepkcs.dll", "C:\\Windows\\System32\\asepkcs.dll"},
      {"BR", "C:\\Program Files (x86)\\CSP Banrisul Multiplo\\PKCS11.dll",
       "C:\\Program Files\\CSP Banrisul Multiplo\\PKCS11.dll"},
      {"OB", "C:\\Program Files (x86)\\Oberthur Technologies\\AWP\\DLLs\\OcsCryptolib_P11.dll",
       "C:\\Program Files\\Oberthur Technologies\\AWP\\DLLs\\OcsCryptolib_P11.dll"},
      {"EP", "C:\\Windows\\SysWOW64\\eps2003csp11.dll", "C:\\Windows\\System32\\eps2003csp11.dll"},
      {"DX", "C:\\Windows\\SysWOW64\\DXSafePKCS11.dll", "C:\\Windows\\System32\\DXSafePKCS11.dll"},
  };
}

Loader& systemLoader() {
  static SystemLoader loader;
  return loader;
}

}  // namespace ankor::pkcs11
