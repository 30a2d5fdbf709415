#include "ankor/capi/signer.h"

#include <new>
#include <stdexcept>

#include "ankor/capi/rules.h"
#include "ankor/core/digest.h"

namespace ankor::capi {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

struct Algorithm {
  std::uint32_t id;
  DigestAlgorithm digest;
  const char* createHashLabel;
};

// "sha1" and "sha512" exactly; every other word selects SHA-256.
Algorithm selectAlgorithm(const std::string& word) {
  switch (const DigestAlgorithm digest = digestAlgorithmNamed(word)) {
    case DigestAlgorithm::Sha1: return {win::kAlgSha1, digest, "(CryptCreateHash SHA1) "};
    case DigestAlgorithm::Sha512: return {win::kAlgSha512, digest, "(CryptCreateHash SHA512) "};
    case DigestAlgorithm::Sha256: break;
  }
  return {win::kAlgSha256, DigestAlgorithm::Sha256, "(CryptCreateHash SHA256) "};
}

// A finished digest must be exactly the algorithm's length: the platform takes the hash
// value without a length.
void requireDigestLength(const Algorithm& algorithm, std::size_t size) {
  const std::size_t expected = digestLength(algorithm.digest);
  if (size != expected) {
    fail("Err digest length - expected " + std::to_string(expected) + " bytes, got " +
         std::to_string(size));
  }
}

// The provider context of the certificate's key, with the record's key spec.
struct KeyOfCertificate {
  explicit KeyOfCertificate(CryptoPlatform& platform)
      : store(platform), certificate(platform), context(platform) {}
  CertStore store;
  CertificateContext certificate;
  ProviderContext context;
  std::uint32_t keySpec = 0;
};

void openKey(CryptoPlatform& platform, const std::string& thumbprint, KeyOfCertificate& key) {
  const Bytes hash = hexDecode(thumbprint);
  key.store.reset(platform.openCurrentUserStore(u"MY"));
  if (!key.store) fail("Err CertOpenStore");
  key.certificate.reset(platform.findCertificateBySha1(key.store.get(), hash.data(),
                                                       static_cast<std::uint32_t>(hash.size())));
  if (!key.certificate) fail("Err CertFindCertificateInStore");

  std::uint32_t size = 0;
  if (!platform.getKeyProvInfo(key.certificate.get(), nullptr, &size)) {
    fail("Err CertGetCertificateContextProperty");
  }
  KeyProvInfo record;
  bool retrieved = false;
  try {
    retrieved = platform.getKeyProvInfo(key.certificate.get(), &record, &size);
  } catch (const std::bad_alloc&) {
    fail("Error in allocation of memory.");  // the record's buffer of that size
  }
  if (!retrieved) fail("The property was not retrieved.");
  const std::string container = platform.toNarrow(record.containerName);
  std::string provider = aliasAthenaContained(platform.toNarrow(record.providerName));
  key.keySpec = record.keySpec;

  const bool smartCard = isSmartCardProvider(provider);
  const bool acquired =
      smartCard ? platform.acquireContext(key.context.out(), container.c_str(), provider.c_str(),
                                          record.providerType, record.flags)
                : platform.acquireContext(key.context.out(), container.c_str(),
                                          std::string(kSoftwareFallbackProvider).c_str(),
                                          kSoftwareFallbackType, record.flags);
  if (!acquired) {
    const std::string call = smartCard ? "Err CryptAcquireContext1" : "Err CryptAcquireContext2";
    if (platform.lastError() == win::kBadKeySet) {
      fail(call + " - conjunto de chave nao encontrada = " + describeLastError(platform));
    }
    fail(call + " " + describeLastError(platform));
  }
}

// Signs one value on the opened key; Base64 of the signature, most significant byte first.
// hashed tells whether value is a finished digest; hash is already created.
std::string signValue(CryptoPlatform& platform, const KeyOfCertificate& key, CryptHash& hash,
                      const Algorithm& algorithm, const Bytes& value, bool hashed) {
  if (hashed) {
    requireDigestLength(algorithm, value.size());
    if (!platform.setHashParam(hash.get(), win::kHashParamValue, value.data())) {
      fail("Err CryptSetHashParam");
    }
  } else if (!platform.hashData(hash.get(), value.data(),
                                static_cast<std::uint32_t>(value.size()))) {
    fail("Err CryptHashData");
  }
  std::uint32_t size = 0;
  if (!platform.signHash(hash.get(), key.keySpec, nullptr, &size)) {
    fail("Err CryptSignHash " + describeLastError(platform));
  }
  Bytes signature(static_cast<std::size_t>(size) + 1, 0);
  std::uint32_t length = static_cast<std::uint32_t>(signature.size());
  if (!platform.signHash(hash.get(), key.keySpec, signature.data(), &length)) {
    fail("Err CryptSignHash " + describeLastError(platform));
  }
  length = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(signature.size()));
  return base64Encode(reverseBytes(signature.data(), length));
}

void createHash(CryptoPlatform& platform, const KeyOfCertificate& key,
                const Algorithm& algorithm, CryptHash& hash) {
  if (!platform.createHash(key.context.get(), algorithm.id, hash.out())) {
    fail(algorithm.createHashLabel + describeLastError(platform));
  }
}

}  // namespace

std::string CapiSigner::sign(const std::string& thumbprint, const std::string& hashAlgorithm,
                             const std::string& dataBase64, bool isHash) {
  return runtimeFailures([&] {
    const Algorithm algorithm = selectAlgorithm(hashAlgorithm);
    const Bytes data = base64Decode(dataBase64);
    // Refused before the store is opened: nothing is handed to the platform.
    if (isHash) requireDigestLength(algorithm, data.size());
    KeyOfCertificate key(platform_);
    openKey(platform_, thumbprint, key);
    CryptHash hash(platform_);
    createHash(platform_, key, algorithm, hash);
    return signValue(platform_, key, hash, algorithm, data, isHash);
  });
}

std::string CapiSigner::signList(const std::string& thumbprint, const std::string& hashAlgorithm,
                                 const nlohmann::json& document) {
  return runtimeFailures([&] {
    const Algorithm algorithm = selectAlgorithm(hashAlgorithm);
    KeyOfCertificate key(platform_);
    openKey(platform_, thumbprint, key);
    json output = json::array();
    // Arrays give their elements, objects their member values in key order, a single
    // scalar counts as one item, null as none.
    for (const json& element : document) {
      json item = element;  // member access by the library's own rules and messages
      const std::string value = item["value"].get<std::string>();
      CryptHash hash(platform_);
      createHash(platform_, key, algorithm, hash);
      const bool hashed = item["hashedData"].get<bool>();
      const std::string signature =
          signValue(platform_, key, hash, algorithm, base64Decode(value), hashed);
      output.push_back({{"data", value}, {"id", item["id"]}, {"signed", signature}});
    }
    return output.dump();
  });
}

}  // namespace ankor::capi
