#include "ankor/capi/digest.h"

namespace ankor {

std::size_t digestLength(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Sha1: return 20;
    case DigestAlgorithm::Sha256: return 32;
    case DigestAlgorithm::Sha512: return 64;
  }
  return 0;
}

}  // namespace ankor
