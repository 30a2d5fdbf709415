#include "ankor/capi/libcrypto_linux.h"

#include <dlfcn.h>

#include <cstdio>
#include <optional>
#include <type_traits>

#include "common/unique_handle.h"

namespace ankor::capi::libcrypto {
namespace {

using Library = tarvo::UniqueHandle<void*, nullptr, ::dlclose>;

constinit const char* libraryName = ANKOR_LIBCRYPTO_SONAME;

struct Loaded {
  Functions functions{};
  std::optional<Unavailable> failure;
};
// Never destroyed at exit: the port's objects still freed then call through the table.
static_assert(std::is_trivially_destructible_v<Loaded>);

Loaded load() {
  Loaded loaded;
  // RTLD_LOCAL: its symbols serve this table only, never a PKCS#11 module loaded later.
  Library library(dlopen(libraryName, RTLD_NOW | RTLD_LOCAL));
  if (!library) {
    std::fprintf(stderr, "ankor: cannot load %s: %s\n", libraryName, dlerror());
    loaded.failure = Unavailable{Unavailable::Reason::NoLibrary};
    return loaded;
  }
  const char* missing = nullptr;
#define ANKOR_LIBCRYPTO_RESOLVE(name)                                                    \
  if (missing == nullptr) {                                                              \
    loaded.functions.name =                                                              \
        reinterpret_cast<decltype(loaded.functions.name)>(dlsym(library.get(), #name));  \
    if (loaded.functions.name == nullptr) missing = #name;                               \
  }
  ANKOR_LIBCRYPTO_FUNCTIONS(ANKOR_LIBCRYPTO_RESOLVE)
#undef ANKOR_LIBCRYPTO_RESOLVE
  if (missing != nullptr) {
    const char* reason = dlerror();
    std::fprintf(stderr, "ankor: %s has no function %s: %s\n", libraryName, missing,
                 reason != nullptr ? reason : "null address");
    loaded.functions = Functions{};
    loaded.failure = Unavailable{Unavailable::Reason::NoFunction};
    return loaded;  // the owner closes the library
  }
  // Kept open for the rest of the process: objects freed at exit still call into it.
  (void)library.release();
  return loaded;
}

}  // namespace

const Functions& functions() {
  static const Loaded loaded = load();
  if (loaded.failure) throw *loaded.failure;
  return loaded.functions;
}

void useLibraryForTesting(const char* soname) noexcept { libraryName = soname; }

}  // namespace ankor::capi::libcrypto
