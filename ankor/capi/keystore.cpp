#include "ankor/capi/keystore.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "ankor/capi/digest.h"
#include "ankor/capi/rules.h"
#include "common/utf8.h"

namespace ankor::capi {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// A zero-filled buffer; an allocation failure becomes the operation's own message.
Bytes allocate(std::size_t size, const char* message) {
  try {
    return Bytes(size, 0);
  } catch (const std::bad_alloc&) {
    fail(message);
  }
}

// Runs the steps of an operation that reports failure as the error result text.
template <typename Steps>
std::string resultOrErrorText(Steps&& steps) {
  try {
    return steps();
  } catch (const std::exception& e) {
    return errorResultText(e.what());
  } catch (...) {
    return errorResultText("Unexpected error");
  }
}

constexpr std::uint32_t kContainerBufferSize = 1000;

// UTF-16 as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& wide) {
  std::string out;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    tarvo::appendUtf8(out, c);
  }
  return out;
}

// The key length travels in the upper 16 bits of CryptGenKey's flags, in units of
// 1024 bits from bit 26: at most 63 units (64512 bits).
constexpr int kMaxKeyLengthUnits = 63;

}  // namespace

std::string CapiKeyStore::listCSPs() {
  json providers;  // stays null when the system lists no provider
  runtimeFailures([&] {
    for (std::uint32_t index = 0;;) {
      std::uint32_t type = 0;
      std::uint32_t size = 0;
      if (!platform_.enumProviders(index, &type, nullptr, &size)) break;
      Bytes name = allocate(size, "listCSPs - Insufficient Memory");
      const bool ok =
          platform_.enumProviders(index, &type, reinterpret_cast<char*>(name.data()), &size);
      ++index;
      if (ok) {
        // Names come in the process code page; the listing is UTF-8 and keeps every name.
        providers.push_back(
            {{"cspname", platform_.ansiToUtf8(textUpToZero(name))}, {"csptype", type}});
      } else if (platform_.lastError() != win::kErrorNoMoreItems) {
        fail("listCSPs - CryptEnumProviders");
      }
    }
    return std::string();
  });
  return providers.dump();
}

template <typename Visit>
void CapiKeyStore::forEachContainer(const std::string& providerName, int providerType,
                                    Visit&& visit) {
  if (providerName.empty()) fail("countContainers - providerName is null");
  const std::string provider = aliasAthenaExact(providerName);
  const std::string where =
      ". providerName: " + provider + " - providerType: " + std::to_string(providerType);
  ProviderContext context(platform_);
  if (!platform_.acquireContext(context.out(), nullptr, provider.c_str(),
                                static_cast<std::uint32_t>(providerType),
                                win::kCryptVerifyContext)) {
    fail("countContainers - CryptAcquireContext" + where);
  }
  Bytes name(kContainerBufferSize, 0);
  // The length is reset before every call: a provider that shrinks it to the last
  // name's length would otherwise end the enumeration at the first longer name.
  std::uint32_t length = kContainerBufferSize;
  if (!platform_.getProvParam(context.get(), win::kParamEnumContainers, name.data(), &length,
                              win::kCryptFirst)) {
    if (platform_.lastError() == win::kErrorNoMoreItems) return;
    fail("countContainers - CryptGetProvParam (CRYPT_FIRST)" + where);
  }
  do {
    name[kContainerBufferSize - 1] = 0;
    visit(std::string(reinterpret_cast<const char*>(name.data())));
    std::fill(name.begin(), name.end(), 0);
    length = kContainerBufferSize;
  } while (platform_.getProvParam(context.get(), win::kParamEnumContainers, name.data(), &length,
                                  win::kCryptNext));
}

std::string CapiKeyStore::countContainers(const std::string& providerName, int providerType) {
  return resultOrErrorText([&] {
    std::size_t count = 0;
    forEachContainer(providerName, providerType, [&](const std::string&) { ++count; });
    return std::to_string(count);
  });
}

std::string CapiKeyStore::listContainers(const std::string& providerName, int providerType) {
  json containers;  // "null" when the provider has no container
  runtimeFailures([&] {
    forEachContainer(providerName, providerType,
                     [&](const std::string& name) {
                       containers.push_back({{"name", platform_.ansiToUtf8(name)}});
                     });
    return std::string();
  });
  return containers.dump();
}

std::string CapiKeyStore::createKeyPairSteps(const std::string& providerName, int keyLength,
                                             const std::string& containerName,
                                             bool useExistingKey, bool exportable,
                                             int providerType) {
  if (providerName.empty()) fail("createKeyPair - providerName is null");
  if (containerName.empty()) fail("createKeyPair - containerName is null");
  const std::string provider = aliasAthenaContained(providerName);
  const auto type = static_cast<std::uint32_t>(providerType);

  ProviderContext context(platform_);
  CryptKey key(platform_);
  if (useExistingKey) {
    if (!platform_.acquireContext(context.out(), containerName.c_str(), provider.c_str(), type,
                                  0)) {
      fail("createKeyPair - CryptAcquireContext");
    }
    if (!platform_.getUserKey(context.get(), win::kKeyExchange, key.out())) {
      fail("createKeyPair - CryptGetUserKey");
    }
  } else {
    // Whole multiples of 1024 bits in the upper 16 bits; 0 leaves the provider's default.
    // A length whose bits do not fit (65536 and more would wrap to the default) or a
    // negative one is refused before a container exists, never silently shortened.
    if (keyLength < 0 || keyLength / 1024 > kMaxKeyLengthUnits) fail("createKeyPair - CryptGenKey");
    if (!platform_.acquireContext(context.out(), containerName.c_str(), provider.c_str(), type,
                                  win::kCryptNewKeySet)) {
      fail("createKeyPair - CryptAcquireContext");
    }
    std::uint32_t flags = static_cast<std::uint32_t>(keyLength / 1024) << 26;
    if (exportable) flags |= win::kCryptExportable;
    if (!platform_.genKey(context.get(), win::kKeyExchange, flags, key.out())) {
      fail("createKeyPair - CryptGenKey");
    }
  }

  std::uint32_t size = 0;
  if (!platform_.exportKey(key.get(), win::kPublicKeyBlob, nullptr, &size)) {
    fail("createKeyPair - CryptExportKey");
  }
  Bytes blob = allocate(size, "createKeyPair - Insufficient Memory");
  if (!platform_.exportKey(key.get(), win::kPublicKeyBlob, blob.data(), &size)) {
    fail("createKeyPair - CryptExportKey");
  }
  blob.resize(std::min<std::size_t>(size, blob.size()));
  std::string encoded = base64Encode(blob);
  if (encoded.empty()) {
    fail("createKeyPair - Error encoding publicKey into base64: publicKeyBlob: " +
         std::to_string(blob.size()) + " - b64PubKey: ");
  }
  if (blob[0] != win::kPublicKeyBlob) fail("createKeyPair - Invalid public key blob");
  std::uint32_t magic = 0;
  if (blob.size() >= 12) std::memcpy(&magic, blob.data() + 8, sizeof magic);
  if (magic != 0x31415352) fail("createKeyPair - Invalid public key type");  // "RSA1"
  return encoded;
}

std::string CapiKeyStore::createKeyPair(const std::string& providerName, int keyLength,
                                        const std::string& containerName, bool useExistingKey,
                                        bool exportable, int providerType,
                                        const std::string& commonName, bool makeRequest) {
  std::string result = resultOrErrorText([&] {
    return createKeyPairSteps(providerName, keyLength, containerName, useExistingKey, exportable,
                              providerType);
  });
  // The request replaces the key step's result, also after a failed key step.
  if (makeRequest) return generateCSR(commonName, providerName, containerName, providerType);
  return result;
}

std::string CapiKeyStore::generateCSRSteps(const std::string& commonName,
                                           const std::string& providerName,
                                           const std::string& containerName, int providerType) {
  if (commonName.empty()) fail("generateCSR - DN is null");
  if (providerName.empty()) fail("generateCSR - Provider name is null");
  if (containerName.empty()) fail("generateCSR - Container name is null");

  // The subject is one commonName attribute holding the whole text as PrintableString.
  NameAttribute commonNameAttribute{"2.5.4.3", win::kRdnPrintableString,
                                    Bytes(commonName.begin(), commonName.end())};
  std::uint32_t nameSize = 0;
  if (!platform_.encodeName(&commonNameAttribute, 1, nullptr, &nameSize)) {
    fail(
        "generateCSR The first call to CryptEncodeObject failed. A public/private key pair may "
        "not exit in the container.");
  }
  Bytes subject = allocate(nameSize, "generateCSR The pbNamencoded malloc operation failed.");
  if (!platform_.encodeName(&commonNameAttribute, 1, subject.data(), &nameSize)) {
    fail("generateCSR The second call to CryptEncodeObject failed. ");
  }
  subject.resize(std::min<std::size_t>(nameSize, subject.size()));

  const std::string provider = aliasAthenaContained(providerName);
  ProviderContext context(platform_);
  if (isSmartCardProvider(provider)) {
    if (!platform_.acquireContext(context.out(), containerName.c_str(), provider.c_str(),
                                  static_cast<std::uint32_t>(providerType), 0)) {
      fail("generateCSR CryptAcquireContext failed 1.");
    }
  } else if (!platform_.acquireContext(context.out(), containerName.c_str(),
                                       std::string(kSoftwareFallbackProvider).c_str(),
                                       kSoftwareFallbackType, 0)) {
    fail("generateCSR CryptAcquireContext failed 2.");
  }

  std::uint32_t infoSize = 0;
  if (!platform_.exportPublicKeyInfo(context.get(), win::kKeyExchange, nullptr, &infoSize)) {
    fail(
        "generateCSR The first call to CryptExportPublickKeyInfo failed.  The probable cause is "
        "that  There is no key pair in the key container.");
  }
  Bytes publicKeyInfo = allocate(infoSize, "generateCSR Memory allocation failed. ");
  if (!platform_.exportPublicKeyInfo(context.get(), win::kKeyExchange, publicKeyInfo.data(),
                                     &infoSize)) {
    fail("generateCSR The second call to CryptExportPublicKeyInfo failed. ");
  }

  const RequestInfo request{0, subject, publicKeyInfo.data()};
  constexpr const char* kSha256WithRsa = "1.2.840.113549.1.1.11";
  std::uint32_t requestSize = 0;
  if (!platform_.signAndEncodeRequest(context.get(), win::kKeyExchange, request, kSha256WithRsa,
                                      nullptr, &requestSize)) {
    fail("generateCSR First call to CryptSignandEncode failed. ");
  }
  Bytes encoded = allocate(requestSize, "generateCSR The malloc operation failed. ");
  if (!platform_.signAndEncodeRequest(context.get(), win::kKeyExchange, request, kSha256WithRsa,
                                      encoded.data(), &requestSize)) {
    fail("generateCSR The second call to CryptSignAndEncode failed. ");
  }
  encoded.resize(std::min<std::size_t>(requestSize, encoded.size()));
  return base64Encode(encoded);
}

std::string CapiKeyStore::generateCSR(const std::string& commonName,
                                      const std::string& providerName,
                                      const std::string& containerName, int providerType) {
  return resultOrErrorText(
      [&] { return generateCSRSteps(commonName, providerName, containerName, providerType); });
}

// The text in UTF-16 (MultiByteToWideChar: a length call, then the conversion), or the
// failure with the message of the call that failed.
std::u16string CapiKeyStore::toWide(const std::string& text, const char* lengthFailure,
                                    const char* conversionFailure) {
  const int count = platform_.toWide(text, nullptr, 0);
  if (count <= 0) fail(lengthFailure);
  std::u16string wide(static_cast<std::size_t>(count), u'\0');
  if (platform_.toWide(text, wide.data(), count) <= 0) fail(conversionFailure);
  return std::u16string(wide.c_str());  // without the terminating zero
}

std::string CapiKeyStore::acceptPKCS7Steps(const std::string& certificateBase64,
                                           const std::string& providerName,
                                           const std::string& containerName, int providerType) {
  if (providerName.empty()) fail("acceptPKCS7 - Provider name is null");
  if (containerName.empty()) fail("acceptPKCS7 - Container name is null");
  if (certificateBase64.empty()) fail("acceptPKCS7 - PKCS#7 data is null");
  const Bytes certificate = base64Decode(certificateBase64);
  const auto type = static_cast<std::uint32_t>(providerType);

  const bool storePath = providerName.find("Microsoft") != std::string::npos &&
                         providerName.find(kSmartCardBaseProvider) == std::string::npos;
  if (!storePath) {
    // The certificate goes into the key's container on the device.
    ProviderContext context(platform_);
    if (!platform_.acquireContext(context.out(), containerName.c_str(), providerName.c_str(),
                                  type, 0)) {
      fail(
          "acceptPKCS7 - Erro recuperando Contexto criptografico. Valide o nome do container e o "
          "Provider");
    }
    CryptKey key(platform_);
    if (!platform_.getUserKey(context.get(), win::kKeyExchange, key.out())) {
      fail("acceptPKCS7 - CryptGetUserKey");
    }
    if (!platform_.setKeyParam(key.get(), win::kKeyParamCertificate, certificate.data(),
                               static_cast<std::uint32_t>(certificate.size()))) {
      fail("acceptPKCS7 - Operacao cancelada ou token bloqueado");
    }
    return R"({"result":"ok"})";
  }

  CertStore store(platform_, platform_.openCurrentUserStore(u"MY"));
  if (!store) fail("acceptPKCS7 - CertOpenStore");
  CertificateContext context(platform_, platform_.createCertificateContext(
                                            certificate.data(),
                                            static_cast<std::uint32_t>(certificate.size())));
  if (!context) fail("acceptPKCS7 - CertCreateCertificateContext");
  KeyProvInfo record;
  record.containerName = toWide(containerName, "acceptPKCS7 - MultiByteToWideChar - w_container",
                                "acceptPKCS7 - MultiByteToWideChar - w_container");
  record.providerName = toWide(providerName, "acceptPKCS7 - MultiByteToWideChar - w_provider",
                               "acceptPKCS7 - Insufficient Memory - w_provider");
  record.providerType = type;
  record.flags = 0;
  record.keySpec = win::kKeyExchange;
  CertificateContext added(platform_);
  if (!platform_.addCertificateToStore(store.get(), context.get(), win::kStoreAddAlways,
                                       added.out())) {
    fail("acceptPKCS7 - CertAddCertificateContextToStore");
  }
  if (!platform_.setKeyProvInfo(added.get(), record)) {
    fail("acceptPKCS7 - CertSetCertificateContextProperty");
  }
  return R"({"result":"ok"})";
}

std::string CapiKeyStore::acceptPKCS7(const std::string& certificateBase64,
                                      const std::string& providerName,
                                      const std::string& containerName, int providerType) {
  return runtimeFailures([&] {
    return acceptPKCS7Steps(certificateBase64, providerName, containerName, providerType);
  });
}

Records CapiKeyStore::listCertificates() {
  CertStore store(platform_, platform_.openCurrentUserStore(u"MY"));
  if (!store) fail("listCertificates - CertOpenStore");
  Records records;
  // Each call frees the context it is given; only the last one is left to free when a
  // record cannot be made.
  Handle current = 0;
  try {
    while ((current = platform_.enumCertificatesInStore(store.get(), current)) != 0) {
      records.push_back(certificateRecord(current));
    }
  } catch (...) {
    if (current != 0) (void)platform_.freeCertificateContext(current);
    throw;
  }
  const std::uint32_t end = platform_.lastError();
  if (end != win::kNotFound && end != win::kErrorNoMoreFiles) {
    fail("listCertificates - CertEnumCertificatesInStore");
  }
  return records;
}

json CapiKeyStore::certificateRecord(Handle certificate) {
  Bytes der;
  if (!platform_.getEncodedCertificate(certificate, &der)) {
    fail("listCertificates - CertEnumCertificatesInStore");
  }
  const auto sha1 = computeSha1(der.data(), der.size());
  if (!sha1) fail("Erro ao calcular o hash dos dados");
  json record = json::object();
  record["thumbprint"] = hexEncode(*sha1);
  putCertificateMembers(record, der, decoder_);
  // No record, or one that cannot be read, is no key binding: the certificate is still
  // listed.
  KeyProvInfo info;
  std::uint32_t size = 0;
  const bool bound = platform_.getKeyProvInfo(certificate, nullptr, &size) &&
                     platform_.getKeyProvInfo(certificate, &info, &size);
  record["container"] = bound ? json(utf16ToUtf8(info.containerName)) : json(nullptr);
  record["provider"] = bound ? json(utf16ToUtf8(info.providerName)) : json(nullptr);
  record["providerType"] = bound ? json(info.providerType) : json(nullptr);
  record["keySpec"] = bound ? json(info.keySpec) : json(nullptr);
  return record;
}

}  // namespace ankor::capi
