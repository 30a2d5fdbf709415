// computeDigest on Linux: OpenSSL's EVP digests.
#include <openssl/evp.h>

#include <memory>

#include "ankor/capi/digest.h"

namespace ankor {

std::optional<Bytes> computeDigest(DigestAlgorithm algorithm, const std::uint8_t* data,
                                   std::size_t size) {
  const EVP_MD* md = nullptr;
  switch (algorithm) {
    case DigestAlgorithm::Sha1: md = EVP_sha1(); break;
    case DigestAlgorithm::Sha256: md = EVP_sha256(); break;
    case DigestAlgorithm::Sha512: md = EVP_sha512(); break;
  }
  if (md == nullptr) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  Bytes digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
    return std::nullopt;
  }
  digest.resize(length);
  return digest;
}

}  // namespace ankor
