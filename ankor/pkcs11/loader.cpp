#include "ankor/pkcs11/loader.h"

#include <utility>

#include "ankor/front/encoding.h"
#include "ankor/pkcs11/loader_platform.h"
#include "common/unique_handle.h"

namespace ankor::pkcs11 {
namespace {

using LibraryHandle = tarvo::UniqueHandle<void*, nullptr, platform::closeLibrary>;

// A loaded library, unloaded when destroyed.
class SharedLibrary final : public Library {
 public:
  explicit SharedLibrary(LibraryHandle handle) noexcept : handle_(std::move(handle)) {}
  void* symbol(const char* name) const override {
    return platform::findSymbol(handle_.get(), name);
  }

 private:
  LibraryHandle handle_;
};

class SystemLoader final : public Loader {
 public:
  bool exists(const std::string& path) override { return fileExists(path); }
  std::unique_ptr<Library> load(const std::string& path) override {
    LibraryHandle handle(platform::openLibrary(path));
    if (!handle) return nullptr;
    return std::make_unique<SharedLibrary>(std::move(handle));
  }
};

}  // namespace

Loader& systemLoader() {
  static SystemLoader loader;
  return loader;
}

}  // namespace ankor::pkcs11
