// Linked into a copy of ankor for the tests: the port opens the library that
// ANKOR_TEST_LIBCRYPTO names instead of libcrypto (one that does not exist, or one
// without libcrypto's functions).
#include <cstdlib>

#include "ankor/capi/libcrypto_linux.h"

namespace {

[[maybe_unused]] const bool named = [] {
  if (const char* name = std::getenv("ANKOR_TEST_LIBCRYPTO")) {
    ankor::capi::libcrypto::useLibraryForTesting(name);
  }
  return true;
}();

}  // namespace
