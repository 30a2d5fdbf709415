// Digests on Windows through the CryptoAPI of the Microsoft Enhanced provider, in a
// verification-only context; a failed call reports the thread's last error.
#include <windows.h>
#include <wincrypt.h>

#include "common/unique_handle.h"
#include "hostmark/digest.h"

namespace hostmark {
namespace {

Status lastError() { return failureStatus(static_cast<Status>(GetLastError()), kDigestFailed); }

// Owners of the provider context, hash objects and derived key.
void releaseContext(HCRYPTPROV provider) noexcept { CryptReleaseContext(provider, 0); }

using Provider = tarvo::UniqueHandle<HCRYPTPROV, 0, releaseContext>;
using Hash = tarvo::UniqueHandle<HCRYPTHASH, 0, CryptDestroyHash>;
using Key = tarvo::UniqueHandle<HCRYPTKEY, 0, CryptDestroyKey>;

// CryptAcquireContextA: "Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL,
// CRYPT_VERIFYCONTEXT, no container.
Status acquire(Provider& provider) {
  if (!CryptAcquireContextA(provider.out(), nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    return lastError();
  }
  return kSuccess;
}

Status hashData(const Hash& hash, std::string_view data) {
  if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size()), 0)) {
    return lastError();
  }
  return kSuccess;
}

// CryptGetHashParam HP_HASHVAL; the value must be 20 bytes long.
Status readValue(const Hash& hash, Sha1Value& value) {
  DWORD size = static_cast<DWORD>(value.size());
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &size, 0)) return lastError();
  return size == value.size() ? kSuccess : kBadDigestLength;
}

class CryptoApiDigest final : public Digest {
 public:
  Status sha1(std::string_view data, Sha1Value& value) override {
    Provider provider;
    if (const Status s = acquire(provider); s != kSuccess) return s;
    Hash hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, hash.out())) return lastError();
    if (const Status s = hashData(hash, data); s != kSuccess) return s;
    return readValue(hash, value);
  }

  Status keyedSha1(std::string_view key, std::string_view message, Sha1Value& value) override {
    // Declared in acquisition order, so they are released HMAC, key, key hash, context.
    Provider provider;
    Hash keyHash;
    Key derived;
    Hash hmac;
    if (const Status s = acquire(provider); s != kSuccess) return s;
    if (!CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, keyHash.out())) return lastError();
    if (const Status s = hashData(keyHash, key); s != kSuccess) return s;
    // Flags 0: the full 192-bit Triple-DES key length.
    if (!CryptDeriveKey(provider.get(), CALG_3DES, keyHash.get(), 0, derived.out())) {
      return lastError();
    }
    if (!CryptCreateHash(provider.get(), CALG_HMAC, derived.get(), 0, hmac.out())) {
      return lastError();
    }
    HMAC_INFO info{};
    info.HashAlgid = CALG_SHA1;  // no inner or outer strings: the standard pads
    if (!CryptSetHashParam(hmac.get(), HP_HMAC_INFO, reinterpret_cast<const BYTE*>(&info), 0)) {
      return lastError();
    }
    if (const Status s = hashData(hmac, message); s != kSuccess) return s;
    return readValue(hmac, value);
  }
};

}  // namespace

std::unique_ptr<Digest> createDigest() { return std::make_unique<CryptoApiDigest>(); }

}  // namespace hostmark
