// computeDigest on Windows: a hash object of the default PROV_RSA_AES provider,
// opened with CRYPT_VERIFYCONTEXT (no key container is touched).
#include <windows.h>
#include <wincrypt.h>

#include "ankor/capi/digest.h"

namespace ankor {
namespace {

struct ProviderContext {
  HCRYPTPROV handle = 0;
  ProviderContext() = default;
  ProviderContext(const ProviderContext&) = delete;  // a copy would release twice
  ProviderContext& operator=(const ProviderContext&) = delete;
  ~ProviderContext() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
};

struct HashObject {
  HCRYPTHASH handle = 0;
  HashObject() = default;
  HashObject(const HashObject&) = delete;  // a copy would destroy twice
  HashObject& operator=(const HashObject&) = delete;
  ~HashObject() {
    if (handle != 0) CryptDestroyHash(handle);
  }
};

}  // namespace

std::optional<Bytes> computeDigest(DigestAlgorithm algorithm, const std::uint8_t* data,
                                   std::size_t size) {
  ProviderContext provider;
  if (!CryptAcquireContextA(&provider.handle, nullptr, nullptr, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT)) {
    return std::nullopt;
  }
  HashObject hash;
  if (!CryptCreateHash(provider.handle, static_cast<ALG_ID>(algorithm), 0, 0, &hash.handle)) {
    return std::nullopt;
  }
  if (!CryptHashData(hash.handle, data, static_cast<DWORD>(size), 0)) return std::nullopt;
  DWORD hashSize = 0;
  DWORD sizeLength = sizeof(hashSize);
  if (!CryptGetHashParam(hash.handle, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize),
                         &sizeLength, 0)) {
    return std::nullopt;
  }
  Bytes digest(hashSize, 0);
  DWORD valueLength = hashSize;
  if (!CryptGetHashParam(hash.handle, HP_HASHVAL, digest.data(), &valueLength, 0)) {
    return std::nullopt;
  }
  digest.resize(valueLength);
  return digest;
}

}  // namespace ankor
