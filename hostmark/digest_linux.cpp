// Digests on Linux through OpenSSL; the keyed variant derives its key as CryptoAPI does.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "hostmark/digest.h"

namespace hostmark {
namespace {

// OpenSSL's error code of the failed call, never 0.
Status openSslFailure() {
  return failureStatus(static_cast<Status>(ERR_get_error()), kDigestFailed);
}

class OpenSslDigest final : public Digest {
 public:
  // EVP_Digest with EVP_sha1.
  Status sha1(std::string_view data, Sha1Value& value) override {
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), value.data(), &length, EVP_sha1(), nullptr) != 1) {
      return openSslFailure();
    }
    return length == value.size() ? kSuccess : kBadDigestLength;
  }

  // HMAC with EVP_sha1, keyed with the 24 derived bytes as they are (no parity bits set).
  Status keyedSha1(std::string_view key, std::string_view message, Sha1Value& value) override {
    Sha1Value keyHash{};
    if (const Status s = sha1(key, keyHash); s != kSuccess) return s;
    std::array<std::uint8_t, 24> material{};
    if (const Status s = deriveTripleDesKeyMaterial(*this, keyHash, material); s != kSuccess) {
      return s;
    }
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), material.data(), static_cast<int>(material.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(),
             value.data(), &length) == nullptr) {
      return openSslFailure();
    }
    return length == value.size() ? kSuccess : kBadDigestLength;
  }
};

}  // namespace

std::unique_ptr<Digest> createDigest() { return std::make_unique<OpenSslDigest>(); }

}  // namespace hostmark
