#include "ankor/pkcs11/loader.h"

#include <utility>

#include "ankor/core/encoding.h"
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
  LoadResult load(const std::string& path) override {
    LoadResult result;
    LibraryHandle handle(platform::openLibrary(path, result.error));
    if (handle) {
      result.library = std::make_unique<SharedLibrary>(std::move(handle));
      result.error.clear();
    }
    return result;
  }
};

}  // namespace

Loader& systemLoader() {
  static SystemLoader loader;
  return loader;
}

}  // namespace ankor::pkcs11
