// computeDigest of ankor/capi/digest.h: the CryptoAPI steps on this build's platform.
#include "ankor/capi/digest.h"

#include "ankor/capi/digest_steps.h"

#include <algorithm>
#include <cstring>

namespace ankor {

std::optional<Bytes> computeDigest(DigestAlgorithm algorithm, const std::uint8_t* data,
                                   std::size_t size) {
  return capi::computeDigestOn(capi::systemPlatform(), algorithm, data, size);
}

namespace capi {
namespace {

class SystemDigester final : public Digester {
 public:
  std::optional<Bytes> digest(DigestAlgorithm algorithm, const std::uint8_t* data,
                              std::size_t size) const override {
    return computeDigest(algorithm, data, size);
  }
};

}  // namespace

const Digester& systemDigester() {
  static const SystemDigester digester;
  return digester;
}

std::optional<Bytes> computeDigestOn(CryptoPlatform& platform, DigestAlgorithm algorithm,
                                     const std::uint8_t* data, std::size_t size) {
  ProviderContext context(platform);
  if (!platform.acquireContext(context.out(), nullptr, nullptr, win::kProvRsaAes,
                               win::kCryptVerifyContext)) {
    return std::nullopt;
  }
  CryptHash hash(platform);
  if (!platform.createHash(context.get(), static_cast<std::uint32_t>(algorithm), hash.out())) {
    return std::nullopt;
  }
  // One call for any input that fits the call's 32-bit length, which is every input
  // on the 32-bit target.
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  std::size_t offset = 0;
  do {
    const std::size_t part = std::min(size - offset, kChunk);
    if (!platform.hashData(hash.get(), data + offset, static_cast<std::uint32_t>(part))) {
      return std::nullopt;
    }
    offset += part;
  } while (offset < size);
  std::uint8_t sizeBytes[4] = {};
  std::uint32_t sizeLength = sizeof sizeBytes;
  if (!platform.getHashParam(hash.get(), win::kHashParamSize, sizeBytes, &sizeLength)) {
    return std::nullopt;
  }
  std::uint32_t digestSize = 0;
  std::memcpy(&digestSize, sizeBytes, sizeof digestSize);
  // Any other size would give a short (or empty) digest that callers take for a
  // thumbprint or for the value to sign.
  const std::size_t expected = digestLength(algorithm);
  if (sizeLength != sizeof sizeBytes || digestSize != expected) return std::nullopt;
  Bytes digest(expected, 0);
  std::uint32_t valueLength = digestSize;
  if (!platform.getHashParam(hash.get(), win::kHashParamValue, digest.data(), &valueLength) ||
      valueLength != expected) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace capi
}  // namespace ankor
