#include "ankor/core/digest.h"

namespace ankor {

DigestAlgorithm digestAlgorithmNamed(std::string_view name) {
  if (name == "sha1") return DigestAlgorithm::Sha1;
  if (name == "sha512") return DigestAlgorithm::Sha512;
  return DigestAlgorithm::Sha256;
}

const Bytes& digestInfoPrefix(DigestAlgorithm algorithm) {
  static const Bytes kSha1 = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                              0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  static const Bytes kSha256 = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  static const Bytes kSha512 = {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
  switch (algorithm) {
    case DigestAlgorithm::Sha1: return kSha1;
    case DigestAlgorithm::Sha512: return kSha512;
    case DigestAlgorithm::Sha256: break;
  }
  return kSha256;
}

std::size_t digestLength(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Sha1: return 20;
    case DigestAlgorithm::Sha256: return 32;
    case DigestAlgorithm::Sha512: return 64;
  }
  return 0;
}

}  // namespace ankor
