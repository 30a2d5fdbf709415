// CryptoPlatform on Linux: a port of the calls on OpenSSL 3 with the Windows return
// values and last-error codes on OpenSSL's libcrypto. The software RSA providers are
// offered under their Windows names and share one set of key containers; containers and the current
// user's certificate stores live under $XDG_DATA_HOME/ankor (docs/linux-port.md: "CryptoAPI key store"),
// in the files and formats of store_files_linux.h and store_format_linux.h.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ankor/capi/platform.h"
#include "ankor/capi/store_files_linux.h"
#include "ankor/capi/store_format_linux.h"
#include "ankor/capi/text_linux.h"

namespace ankor::capi {
namespace {

// ---- OpenSSL owners ----------------------------------------------------------------

// Free is the OpenSSL function that frees a T.
template <typename T, auto Free>
struct Freer {
  void operator()(T* p) const noexcept { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Name = std::unique_ptr<X509_NAME, Freer<X509_NAME, X509_NAME_free>>;
using NameEntry = std::unique_ptr<X509_NAME_ENTRY, Freer<X509_NAME_ENTRY, X509_NAME_ENTRY_free>>;
using Request = std::unique_ptr<X509_REQ, Freer<X509_REQ, X509_REQ_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Object = std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT, ASN1_OBJECT_free>>;
using BigNum = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;

// ---- Error codes ------------------------------------------------------------------

constexpr std::uint32_t kErrorInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr std::uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;  // ERROR_NO_UNICODE_TRANSLATION
constexpr std::uint32_t kBadUid = 0x80090001;  // NTE_BAD_UID
constexpr std::uint32_t kProvTypeNotDefined = 0x80090017;  // NTE_PROV_TYPE_NOT_DEF
constexpr std::uint32_t kBadKeySetParam = 0x8009001F;  // NTE_BAD_KEYSET_PARAM
constexpr std::uint32_t kExists = 0x80092005;  // CRYPT_E_EXISTS
constexpr std::uint32_t kUnknownAlgorithm = 0x80091002;  // CRYPT_E_UNKNOWN_ALGO
constexpr std::uint32_t kInvalidArgument = 0x80070057;  // E_INVALIDARG
constexpr std::uint32_t kCryptDeleteKeySet = 0x10;  // CRYPT_DELETEKEYSET
constexpr std::uint32_t kCryptSilent = 0x40;  // CRYPT_SILENT
constexpr std::uint32_t kCryptUserProtected = 0x2;  // CRYPT_USER_PROTECTED
constexpr std::uint32_t kAlgSha384 = 0x800D;  // CALG_SHA_384
constexpr std::uint32_t kAlgRsaKeyExchange = 0xA400;  // CALG_RSA_KEYX
constexpr std::uint32_t kHashParamAlgId = 1;  // HP_ALGID
constexpr std::uint32_t kStoreAddNew = 1;  // CERT_STORE_ADD_NEW
constexpr std::uint32_t kStoreAddReplaceExisting = 3;  // CERT_STORE_ADD_REPLACE_EXISTING
constexpr std::uint32_t kDefaultKeyBits = 1024;
constexpr std::uint32_t kMaxPath = 260;

thread_local std::uint32_t tlsLastError = 0;

bool failWith(std::uint32_t code) {
  tlsLastError = code;
  return false;
}
Handle failHandle(std::uint32_t code) {
  tlsLastError = code;
  return 0;
}
// Copies an output in the two-call convention: a null buffer asks for the size, a short
// one fails with ERROR_MORE_DATA and the size needed.
bool deliver(const Bytes& value, std::uint8_t* out, std::uint32_t* length) {
  const auto needed = static_cast<std::uint32_t>(value.size());
  if (out == nullptr) {
    *length = needed;
    return true;
  }
  if (*length < needed) {
    *length = needed;
    return failWith(win::kErrorMoreData);
  }
  std::copy(value.begin(), value.end(), out);
  *length = needed;
  return true;
}

// ---- Providers ---------------------------------------------------------------------

struct ProviderEntry {
  const char* name;
  std::uint32_t type;
};
// Enumeration order is name order, as Windows lists its registry keys.
constexpr std::array<ProviderEntry, 3> kProviders = {{
    {"Microsoft Base Cryptographic Provider v1.0", win::kProvRsaFull},
    {"Microsoft Enhanced Cryptographic Provider v1.0", win::kProvRsaFull},
    {"Microsoft Enhanced RSA and AES Cryptographic Provider", win::kProvRsaAes},
}};

const ProviderEntry* findProvider(const char* name, std::uint32_t type) {
  if (name == nullptr || *name == '\0') {
    if (type == win::kProvRsaFull) return &kProviders[1];
    if (type == win::kProvRsaAes) return &kProviders[2];
    return nullptr;
  }
  for (const ProviderEntry& entry : kProviders) {
    if (std::strcmp(entry.name, name) == 0) return &entry;
  }
  return nullptr;
}

// ---- Container keys and store entries --------------------------------------------

// True for a store call that succeeded (0); otherwise its code becomes the last error.
bool ok(std::uint32_t error) { return error == 0 || failWith(error); }

std::string privateKeyPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) {
    return std::string();
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string containerText(EVP_PKEY* key, bool exportable, const std::string& name) {
  return containerFileText(name, exportable, key != nullptr ? privateKeyPem(key) : std::string());
}

// The key of a container file, or null when it has none (or the file is unreadable).
PKey loadContainerKey(const std::string& file) {
  const auto text = readStoreFile(file);
  const auto container = text ? parseContainerFile(*text) : std::nullopt;
  if (!container || container->keyPem.empty()) return nullptr;
  const std::string& pem = container->keyPem;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  // No pass-phrase callback would make OpenSSL prompt on the console and read standard
  // input; keys are written unencrypted, so an encrypted one is simply unusable.
  auto noPassphrase = [](char*, int, int, void*) { return -1; };
  return PKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
}

// The name a container was created with, from its file.
std::optional<std::string> storedContainerName(const std::string& file) {
  const auto text = readStoreFile(file);
  const auto container = text ? parseContainerFile(*text) : std::nullopt;
  return container ? container->name : std::nullopt;
}

Bytes sha1Of(const Bytes& data) {
  Bytes digest(20, 0);
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha1(), nullptr) != 1) {
    return Bytes();
  }
  return digest;
}

// ---- Objects behind the handles -----------------------------------------------------

struct ProviderObject {
  const ProviderEntry* provider = nullptr;
  bool verifyContext = false;
  std::string containerPath;  // empty for a verify context
  std::string containerName;  // as the container was created
  std::vector<std::string> enumNames;
  std::size_t enumNext = 0;
  bool enumStarted = false;
  PKey ephemeralKey;  // a key generated in a verify context lives only in memory
};

struct KeyObject {
  PKey key;
};

struct HashObject {
  Handle provider = 0;
  std::uint32_t algorithm = 0;
  MdContext context;
  Bytes value;  // set once the hash is finished
  bool finished = false;
};

struct StoreObject {
  std::string directory;
  std::vector<std::string> listing;  // the entry files when an enumeration began
};

struct CertificateObject {
  StoreEntry entry;
  std::string file;  // the store entry this context belongs to, or empty
  std::size_t position = 0;  // its place in the store's listing, when enumerated
};

const EVP_MD* mdOf(std::uint32_t algorithm) {
  switch (algorithm) {
    case win::kAlgSha1: return EVP_sha1();
    case win::kAlgSha256: return EVP_sha256();
    case kAlgSha384: return EVP_sha384();
    case win::kAlgSha512: return EVP_sha512();
    default: return nullptr;
  }
}

const EVP_MD* mdOfSignatureOid(const char* oid) {
  if (oid == nullptr) return nullptr;
  const std::string text = oid;
  if (text == "1.2.840.113549.1.1.5") return EVP_sha1();
  if (text == "1.2.840.113549.1.1.11") return EVP_sha256();
  if (text == "1.2.840.113549.1.1.12") return EVP_sha384();
  if (text == "1.2.840.113549.1.1.13") return EVP_sha512();
  return nullptr;
}

template <typename T>
using Table = std::map<Handle, std::unique_ptr<T>>;

// The calls on OpenSSL; LinuxPlatform below runs every one of them.
class OpenSslPort final : public CryptoPlatform {
 public:
  std::uint32_t lastError() override { return tlsLastError; }
  void setLastError(std::uint32_t code) override { tlsLastError = code; }

  bool enumProviders(std::uint32_t index, std::uint32_t* type, char* name,
                     std::uint32_t* size) override {
    if (index >= kProviders.size()) return failWith(win::kErrorNoMoreItems);
    const ProviderEntry& entry = kProviders[index];
    const std::string text = entry.name;
    Bytes value(text.begin(), text.end());
    value.push_back(0);
    *type = entry.type;
    return deliver(value, reinterpret_cast<std::uint8_t*>(name), size);
  }

  bool acquireContext(Handle* provider, const char* container, const char* providerName,
                      std::uint32_t type, std::uint32_t flags) override {
    *provider = 0;
    if (type == 0) return failWith(win::kBadProvType);
    const ProviderEntry* entry = findProvider(providerName, type);
    if (entry == nullptr) {
      return failWith(providerName == nullptr || *providerName == '\0' ? kProvTypeNotDefined
                                                                        : win::kKeySetNotDefined);
    }
    if (entry->type != type) return failWith(win::kProvTypeNoMatch);
    const std::uint32_t action = flags & ~kCryptSilent;
    if (action != 0 && action != win::kCryptNewKeySet && action != win::kCryptVerifyContext &&
        action != kCryptDeleteKeySet) {
      return failWith(win::kBadFlags);
    }
    auto object = std::make_unique<ProviderObject>();
    object->provider = entry;
    if (action == win::kCryptVerifyContext) {
      if (container != nullptr && *container != '\0') return failWith(win::kBadFlags);
      object->verifyContext = true;
      return store(providers_, std::move(object), provider);
    }
    const auto paths = storePaths();
    if (!paths) return failWith(win::kFail);
    std::string name = container != nullptr ? container : "";
    if (name.empty()) name = loginName();
    if (name.size() > kMaxPath || escapeName(name).size() > 240) {
      return failWith(kBadKeySetParam);
    }
    const std::string file = containerFilePath(*paths, name);
    if (action != win::kCryptNewKeySet) {
      if (const std::uint32_t error = checkStoreDirectory(paths->containers)) {
        return failWith(error);
      }
    }
    struct stat status {};
    const bool exists = ::stat(file.c_str(), &status) == 0;
    if (const std::uint32_t error = checkStoreFile(file)) return failWith(error);
    if (action == kCryptDeleteKeySet) {
      if (!exists) return failWith(win::kBadKeySet);
      if (unlink(file.c_str()) != 0) return failWith(errnoCode(errno));
      return true;  // no context is returned
    }
    if (action == win::kCryptNewKeySet) {
      std::uint32_t error = makeDirectories(paths->root, 0700);
      if (error == 0) error = makeStoreDirectory(paths->containers);
      if (error == 0) {
        error = writeFileAtomically(file, containerText(nullptr, false, name), WriteMode::CreateNew);
      }
      if (error != 0) return failWith(error);
    } else if (!exists) {
      return failWith(win::kBadKeySet);
    }
    object->containerPath = file;
    object->containerName = storedContainerName(file).value_or(name);
    return store(providers_, std::move(object), provider);
  }

  bool releaseContext(Handle provider) override {
    return providers_.erase(provider) != 0 || failWith(kBadUid);
  }

  bool getProvParam(Handle provider, std::uint32_t param, std::uint8_t* data,
                    std::uint32_t* length, std::uint32_t flags) override {
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    if (param != win::kParamEnumContainers) return failWith(win::kBadType);
    if (data == nullptr) {  // the longest name a container can have
      *length = kMaxPath + 1;
      return true;
    }
    if (flags == win::kCryptFirst || !object->enumStarted) {
      const auto paths = storePaths();
      object->enumNames.clear();
      object->enumNext = 0;
      object->enumStarted = true;
      if (paths && !ok(listContainerNames(*paths, &object->enumNames))) return false;
    }
    if (object->enumNext >= object->enumNames.size()) return failWith(win::kErrorNoMoreItems);
    const std::string& name = object->enumNames[object->enumNext];
    Bytes value(name.begin(), name.end());
    value.push_back(0);
    if (!deliver(value, data, length)) return false;
    ++object->enumNext;
    return true;
  }

  bool genKey(Handle provider, std::uint32_t algorithm, std::uint32_t flags,
              Handle* key) override {
    *key = 0;
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    if (algorithm != win::kKeyExchange && algorithm != kAlgRsaKeyExchange) {
      return failWith(win::kBadAlgId);
    }
    if ((flags & 0xFFFF & ~(win::kCryptExportable | kCryptUserProtected)) != 0) {
      return failWith(win::kBadFlags);
    }
    std::uint32_t bits = flags >> 16;
    if (bits == 0) bits = kDefaultKeyBits;
    if (bits < 384 || bits > 16384 || bits % 8 != 0) return failWith(win::kBadFlags);

    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(context.get(), &generated) != 1) {
      return failWith(win::kFail);
    }
    PKey pkey(generated);
    if (object->verifyContext) {
      object->ephemeralKey.reset(EVP_PKEY_dup(pkey.get()));
    } else if (!ok(writeFileAtomically(
                   object->containerPath,
                   containerText(pkey.get(), (flags & win::kCryptExportable) != 0,
                                 object->containerName),
                   WriteMode::Replace))) {
      return false;
    }
    auto keyObject = std::make_unique<KeyObject>();
    keyObject->key = std::move(pkey);
    return store(keys_, std::move(keyObject), key);
  }

  bool getUserKey(Handle provider, std::uint32_t keySpec, Handle* key) override {
    *key = 0;
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    PKey pkey = keySpec == win::kKeyExchange ? containerKey(*object) : nullptr;
    if (!pkey) return failWith(win::kNoKey);
    auto keyObject = std::make_unique<KeyObject>();
    keyObject->key = std::move(pkey);
    return store(keys_, std::move(keyObject), key);
  }

  bool exportKey(Handle key, std::uint32_t blobType, std::uint8_t* data,
                 std::uint32_t* length) override {
    KeyObject* object = find(keys_, key, win::kBadKey);
    if (object == nullptr) return false;
    if (blobType != win::kPublicKeyBlob) return failWith(win::kBadType);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(object->key.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
        EVP_PKEY_get_bn_param(object->key.get(), OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
      BN_free(n);
      return failWith(win::kBadKey);
    }
    BigNum modulus(n), exponent(e);
    const auto bits = static_cast<std::uint32_t>(EVP_PKEY_get_bits(object->key.get()));
    const std::size_t modulusBytes = (bits + 7) / 8;
    // BLOBHEADER {PUBLICKEYBLOB, version 2, reserved 0, CALG_RSA_KEYX}, RSAPUBKEY
    // {"RSA1", bit length, exponent}, then the modulus least significant byte first.
    Bytes blob(20 + modulusBytes, 0);
    blob[0] = win::kPublicKeyBlob;
    blob[1] = 2;
    putLittleEndian(blob, 4, kAlgRsaKeyExchange);
    putLittleEndian(blob, 8, 0x31415352);
    putLittleEndian(blob, 12, bits);
    putLittleEndian(blob, 16, static_cast<std::uint32_t>(BN_get_word(exponent.get())));
    if (BN_bn2lebinpad(modulus.get(), blob.data() + 20, static_cast<int>(modulusBytes)) < 0) {
      return failWith(win::kBadKey);
    }
    return deliver(blob, data, length);
  }

  bool setKeyParam(Handle key, std::uint32_t, const std::uint8_t*, std::uint32_t) override {
    if (find(keys_, key, win::kBadKey) == nullptr) return false;
    // A software provider keeps no certificate with its keys.
    return failWith(win::kBadType);
  }

  bool destroyKey(Handle key) override {
    return keys_.erase(key) != 0 || failWith(win::kBadKey);
  }

  bool createHash(Handle provider, std::uint32_t algorithm, Handle* hash) override {
    *hash = 0;
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    // The PROV_RSA_FULL providers predate SHA-2.
    const bool supported = object->provider->type == win::kProvRsaAes
                               ? mdOf(algorithm) != nullptr
                               : algorithm == win::kAlgSha1;
    if (!supported) return failWith(win::kBadAlgId);
    auto hashObject = std::make_unique<HashObject>();
    hashObject->provider = provider;
    hashObject->algorithm = algorithm;
    hashObject->context.reset(EVP_MD_CTX_new());
    if (!hashObject->context ||
        EVP_DigestInit_ex(hashObject->context.get(), mdOf(algorithm), nullptr) != 1) {
      return failWith(win::kFail);
    }
    return store(hashes_, std::move(hashObject), hash);
  }

  bool hashData(Handle hash, const std::uint8_t* data, std::uint32_t size) override {
    HashObject* object = find(hashes_, hash, win::kBadHash);
    if (object == nullptr) return false;
    if (object->finished) return failWith(win::kBadHashState);
    if (EVP_DigestUpdate(object->context.get(), data, size) != 1) return failWith(win::kFail);
    return true;
  }

  bool setHashParam(Handle hash, std::uint32_t param, const std::uint8_t* data) override {
    HashObject* object = find(hashes_, hash, win::kBadHash);
    if (object == nullptr) return false;
    if (param != win::kHashParamValue) return failWith(win::kBadType);
    const auto size = static_cast<std::size_t>(EVP_MD_get_size(mdOf(object->algorithm)));
    object->value.assign(data, data + size);
    object->finished = true;
    return true;
  }

  bool getHashParam(Handle hash, std::uint32_t param, std::uint8_t* data,
                    std::uint32_t* length) override {
    HashObject* object = find(hashes_, hash, win::kBadHash);
    if (object == nullptr) return false;
    Bytes value;
    if (param == kHashParamAlgId) {
      value.resize(4);
      putLittleEndian(value, 0, object->algorithm);
    } else if (param == win::kHashParamSize) {
      value.resize(4);
      putLittleEndian(value, 0, static_cast<std::uint32_t>(EVP_MD_get_size(mdOf(object->algorithm))));
    } else if (param == win::kHashParamValue) {
      if (data != nullptr && !finish(*object)) return false;
      value = object->finished ? object->value
                                : Bytes(static_cast<std::size_t>(
                                      EVP_MD_get_size(mdOf(object->algorithm))));
    } else {
      return failWith(win::kBadType);
    }
    return deliver(value, data, length);
  }

  bool signHash(Handle hash, std::uint32_t keySpec, std::uint8_t* signature,
                std::uint32_t* length) override {
    HashObject* object = find(hashes_, hash, win::kBadHash);
    if (object == nullptr) return false;
    ProviderObject* provider = find(providers_, object->provider, kBadUid);
    if (provider == nullptr) return false;
    PKey key = keySpec == win::kKeyExchange ? containerKey(*provider) : nullptr;
    if (!key) return failWith(win::kNoKey);
    const auto size = static_cast<std::uint32_t>(EVP_PKEY_get_size(key.get()));
    if (signature == nullptr) {
      *length = size;
      return true;
    }
    if (*length < size) {
      *length = size;
      return failWith(win::kErrorMoreData);
    }
    if (!finish(*object)) return false;
    // PKCS#1 v1.5 over the DigestInfo of the hash value.
    PKeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::size_t signatureSize = size;
    Bytes bigEndian(size, 0);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), mdOf(object->algorithm)) != 1 ||
        EVP_PKEY_sign(context.get(), bigEndian.data(), &signatureSize, object->value.data(),
                      object->value.size()) != 1) {
      return failWith(win::kFail);
    }
    // CryptoAPI signatures are little-endian.
    std::reverse_copy(bigEndian.begin(), bigEndian.begin() + static_cast<long>(signatureSize),
                      signature);
    *length = static_cast<std::uint32_t>(signatureSize);
    return true;
  }

  bool destroyHash(Handle hash) override {
    return hashes_.erase(hash) != 0 || failWith(win::kBadHash);
  }

  bool encodeName(const NameAttribute* attributes, std::uint32_t count, std::uint8_t* out,
                  std::uint32_t* length) override {
    Name name(X509_NAME_new());
    if (!name) return failWith(win::kFail);
    for (std::uint32_t i = 0; i < count; ++i) {
      const NameAttribute& attribute = attributes[i];
      int type = 0;
      if (attribute.valueType == win::kRdnPrintableString) {
        if (!isPrintableStringValue(attribute.value)) return failWith(win::kInvalidPrintableString);
        type = V_ASN1_PRINTABLESTRING;
      } else if (attribute.valueType == 13) {  // CERT_RDN_UTF8_STRING
        type = V_ASN1_UTF8STRING;
      } else {
        return failWith(kInvalidArgument);
      }
      Object oid(OBJ_txt2obj(attribute.oid.c_str(), 1));
      if (!oid) return failWith(kInvalidArgument);
      NameEntry entry(X509_NAME_ENTRY_create_by_OBJ(nullptr, oid.get(), type,
                                                     attribute.value.data(),
                                                     static_cast<int>(attribute.value.size())));
      // All attributes form one relative distinguished name.
      if (!entry || X509_NAME_add_entry(name.get(), entry.get(), -1, i == 0 ? 0 : -1) != 1) {
        return failWith(win::kFail);
      }
    }
    const int size = i2d_X509_NAME(name.get(), nullptr);
    if (size <= 0) return failWith(win::kFail);
    Bytes der(static_cast<std::size_t>(size));
    std::uint8_t* cursor = der.data();
    i2d_X509_NAME(name.get(), &cursor);
    return deliver(der, out, length);
  }

  bool exportPublicKeyInfo(Handle provider, std::uint32_t keySpec, std::uint8_t* info,
                           std::uint32_t* length) override {
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    PKey key = keySpec == win::kKeyExchange ? containerKey(*object) : nullptr;
    if (!key) return failWith(win::kNoKey);
    const int size = i2d_PUBKEY(key.get(), nullptr);
    if (size <= 0) return failWith(win::kFail);
    // The opaque buffer: the DER length (4 bytes, little-endian), then the DER.
    Bytes value(4 + static_cast<std::size_t>(size));
    putLittleEndian(value, 0, static_cast<std::uint32_t>(size));
    std::uint8_t* cursor = value.data() + 4;
    i2d_PUBKEY(key.get(), &cursor);
    return deliver(value, info, length);
  }

  bool signAndEncodeRequest(Handle provider, std::uint32_t keySpec, const RequestInfo& request,
                            const char* signatureOid, std::uint8_t* out,
                            std::uint32_t* length) override {
    ProviderObject* object = find(providers_, provider, kBadUid);
    if (object == nullptr) return false;
    const EVP_MD* md = mdOfSignatureOid(signatureOid);
    if (md == nullptr) return failWith(kUnknownAlgorithm);
    PKey key = keySpec == win::kKeyExchange ? containerKey(*object) : nullptr;
    if (!key) return failWith(win::kNoKey);
    if (request.publicKeyInfo == nullptr) return failWith(kInvalidArgument);
    std::uint32_t infoSize = 0;
    std::memcpy(&infoSize, request.publicKeyInfo, 4);
    const std::uint8_t* cursor = request.publicKeyInfo + 4;
    PKey publicKey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(infoSize)));
    cursor = request.subject.data();
    Name subject(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(request.subject.size())));
    if (!publicKey || !subject) return failWith(win::kAsn1BadTag);
    Request req(X509_REQ_new());
    if (!req || X509_REQ_set_version(req.get(), request.version) != 1 ||
        X509_REQ_set_subject_name(req.get(), subject.get()) != 1 ||
        X509_REQ_set_pubkey(req.get(), publicKey.get()) != 1 ||
        X509_REQ_sign(req.get(), key.get(), md) <= 0) {
      return failWith(win::kFail);
    }
    const int size = i2d_X509_REQ(req.get(), nullptr);
    if (size <= 0) return failWith(win::kFail);
    Bytes der(static_cast<std::size_t>(size));
    std::uint8_t* write = der.data();
    i2d_X509_REQ(req.get(), &write);
    return deliver(der, out, length);
  }

  Handle openCurrentUserStore(const char16_t* name) override {
    const auto paths = storePaths();
    if (!paths || name == nullptr) return failHandle(win::kErrorAccessDenied);
    const std::string directory = paths->stores + "/" + escapeName(utf16ToUtf8(name));
    std::uint32_t error = makeDirectories(paths->root, 0700);
    if (error == 0) error = makeStoreDirectory(paths->stores);
    if (error == 0) error = makeStoreDirectory(directory);
    if (error != 0) return failHandle(error);
    auto object = std::make_unique<StoreObject>();
    object->directory = directory;
    Handle handle = 0;
    (void)store(stores_, std::move(object), &handle);
    return handle;
  }

  bool closeStore(Handle handle, std::uint32_t) override {
    return stores_.erase(handle) != 0 || failWith(kErrorInvalidHandle);
  }

  Handle findCertificateBySha1(Handle handle, const std::uint8_t* hash,
                               std::uint32_t size) override {
    StoreObject* object = find(stores_, handle, kErrorInvalidHandle);
    if (object == nullptr) return 0;
    if (size != 20) return failHandle(win::kNotFound);
    const Bytes wanted(hash, hash + size);
    const std::string file = object->directory + "/" + hexEncode(wanted) + ".cer";
    const auto text = readStoreFile(file);
    auto entry = text ? parseStoreEntry(*text) : std::nullopt;
    if (!entry || sha1Of(entry->der) != wanted) return failHandle(win::kNotFound);
    auto certificate = std::make_unique<CertificateObject>();
    certificate->entry = std::move(*entry);
    certificate->file = file;
    Handle out = 0;
    (void)store(certificates_, std::move(certificate), &out);
    return out;
  }

  // The entries in file-name order, as listed when the enumeration began; an entry that
  // cannot be read is passed over.
  Handle enumCertificatesInStore(Handle handle, Handle previous) override {
    StoreObject* object = find(stores_, handle, kErrorInvalidHandle);
    std::size_t position = 0;
    if (previous != 0) {
      CertificateObject* last = find(certificates_, previous, kInvalidArgument);
      if (last == nullptr) return 0;
      position = last->position + 1;
      certificates_.erase(previous);
    }
    if (object == nullptr) return 0;
    if (previous == 0) {
      if (const std::uint32_t error = listStoreEntryFiles(object->directory, &object->listing)) {
        return failHandle(error);
      }
    }
    for (; position < object->listing.size(); ++position) {
      const std::string file = object->directory + "/" + object->listing[position];
      const auto text = readStoreFile(file);
      auto entry = text ? parseStoreEntry(*text) : std::nullopt;
      if (!entry) continue;
      auto certificate = std::make_unique<CertificateObject>();
      certificate->entry = std::move(*entry);
      certificate->file = file;
      certificate->position = position;
      Handle out = 0;
      (void)store(certificates_, std::move(certificate), &out);
      return out;
    }
    return failHandle(win::kNotFound);
  }

  bool getEncodedCertificate(Handle certificate, Bytes* der) override {
    CertificateObject* object = find(certificates_, certificate, kInvalidArgument);
    if (object == nullptr) return false;
    *der = object->entry.der;
    return true;
  }

  Handle createCertificateContext(const std::uint8_t* der, std::uint32_t size) override {
    const std::uint8_t* cursor = der;
    Certificate parsed(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
    if (!parsed) return failHandle(win::kAsn1BadTag);
    auto certificate = std::make_unique<CertificateObject>();
    certificate->entry.der.assign(der, cursor);  // the certificate's own encoding
    Handle out = 0;
    (void)store(certificates_, std::move(certificate), &out);
    return out;
  }

  bool addCertificateToStore(Handle storeHandle, Handle certificate, std::uint32_t disposition,
                             Handle* added) override {
    *added = 0;
    StoreObject* target = find(stores_, storeHandle, kErrorInvalidHandle);
    CertificateObject* source = find(certificates_, certificate, kInvalidArgument);
    if (target == nullptr || source == nullptr) return false;
    if (disposition != kStoreAddNew && disposition != kStoreAddReplaceExisting &&
        disposition != win::kStoreAddAlways) {
      return failWith(kInvalidArgument);
    }
    // One entry per thumbprint: adding the same certificate again replaces its entry.
    const std::string file =
        target->directory + "/" + hexEncode(sha1Of(source->entry.der)) + ".cer";
    struct stat status {};
    if (disposition == kStoreAddNew && ::stat(file.c_str(), &status) == 0) {
      return failWith(kExists);
    }
    auto copy = std::make_unique<CertificateObject>();
    copy->entry = source->entry;
    copy->file = file;
    // The stored entry keeps its key-provider record until one is set: a reader in
    // between, or a run that ends here, must never find the certificate unbound.
    if (!copy->entry.record) {
      const auto text = readStoreFile(file);
      if (auto stored = text ? parseStoreEntry(*text) : std::nullopt;
          stored && stored->der == copy->entry.der) {
        copy->entry.record = std::move(stored->record);
      }
    }
    if (!ok(writeFileAtomically(file, storeEntryText(copy->entry), WriteMode::Replace))) {
      return false;
    }
    return store(certificates_, std::move(copy), added);
  }

  bool getKeyProvInfo(Handle certificate, KeyProvInfo* info, std::uint32_t* size) override {
    CertificateObject* object = find(certificates_, certificate, kInvalidArgument);
    if (object == nullptr) return false;
    if (!object->entry.record) return failWith(win::kNotFound);
    const KeyProvInfo& record = *object->entry.record;
    // The size of the Windows record: the structure and both names with their zeros.
    const auto needed = static_cast<std::uint32_t>(
        28 + 2 * (record.containerName.size() + 1 + record.providerName.size() + 1));
    if (info == nullptr) {
      *size = needed;
      return true;
    }
    if (*size < needed) {
      *size = needed;
      return failWith(win::kErrorMoreData);
    }
    *info = record;
    *size = needed;
    return true;
  }

  bool setKeyProvInfo(Handle certificate, const KeyProvInfo& info) override {
    CertificateObject* object = find(certificates_, certificate, kInvalidArgument);
    if (object == nullptr) return false;
    StoreEntry updated = object->entry;
    updated.record = info;
    if (!object->file.empty() &&
        !ok(writeFileAtomically(object->file, storeEntryText(updated), WriteMode::Replace))) {
      return false;
    }
    object->entry = std::move(updated);
    return true;
  }

  bool freeCertificateContext(Handle certificate) override {
    return certificates_.erase(certificate) != 0 || failWith(kInvalidArgument);
  }

  int toWide(const std::string& text, char16_t* wide, int count) override {
    std::u16string converted;
    if (!utf8ToUtf16(text.c_str(), &converted)) {
      failWith(kErrorNoUnicodeTranslation);
      return 0;
    }
    const auto needed = static_cast<int>(converted.size() + 1);
    if (wide == nullptr) return needed;
    if (count < needed) {
      failWith(kErrorInsufficientBuffer);
      return 0;
    }
    std::copy(converted.c_str(), converted.c_str() + needed, wide);
    return needed;
  }
  std::string toNarrow(const std::u16string& wide) override { return utf16ToUtf8(wide); }
  std::string ansiToUtf8(const std::string& text) override { return utf8WithReplacements(text); }

 private:
  template <typename T>
  bool store(Table<T>& table, std::unique_ptr<T> object, Handle* handle) {
    const Handle h = nextHandle_++;
    table.emplace(h, std::move(object));
    *handle = h;
    return true;
  }
  template <typename T>
  T* find(Table<T>& table, Handle handle, std::uint32_t error) {
    const auto it = table.find(handle);
    if (it == table.end()) {
      tlsLastError = error;
      return nullptr;
    }
    return it->second.get();
  }
  static void putLittleEndian(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  static std::string loginName() {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr) {
      return entry->pw_name;
    }
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "default";
  }
  // The container's key exchange key, read from its file each time (another run may
  // have replaced it).
  static PKey containerKey(const ProviderObject& object) {
    if (object.verifyContext) {
      return object.ephemeralKey ? PKey(EVP_PKEY_dup(object.ephemeralKey.get())) : nullptr;
    }
    return loadContainerKey(object.containerPath);
  }
  static bool finish(HashObject& object) {
    if (object.finished) return true;
    unsigned int size = 0;
    Bytes value(EVP_MAX_MD_SIZE);
    if (EVP_DigestFinal_ex(object.context.get(), value.data(), &size) != 1) {
      return failWith(win::kFail);
    }
    value.resize(size);
    object.value = std::move(value);
    object.finished = true;
    return true;
  }

  Handle nextHandle_ = 0x1000;
  Table<ProviderObject> providers_;
  Table<KeyObject> keys_;
  Table<HashObject> hashes_;
  Table<StoreObject> stores_;
  Table<CertificateObject> certificates_;
};

}  // namespace

CryptoPlatform& systemPlatform() {
  static OpenSslPort platform;
  return platform;
}

}  // namespace ankor::capi
