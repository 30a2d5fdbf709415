#include "ankor/pkcs11/digest_info.h"

namespace ankor::pkcs11 {

DigestTemplate digestTemplate(const std::string& hashName) {
  const DigestAlgorithm algorithm = digestAlgorithmNamed(hashName);
  return {algorithm, digestInfoPrefix(algorithm), digestLength(algorithm)};
}

Bytes digestInfo(const DigestTemplate& chosen, const Bytes& digest) {
  Bytes info = chosen.prefix;
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

}  // namespace ankor::pkcs11
