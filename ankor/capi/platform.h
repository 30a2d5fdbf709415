// The CryptoAPI and certificate-store calls that the CryptoAPI operations make, one
// virtual per Win32 call with the same return convention: false (or a null handle)
// on failure, the reason in lastError(). The win32 back-end forwards to ADVAPI32 and
// CRYPT32; the Linux back-end is a port on OpenSSL; tests drive a scriptable double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ankor/core/encoding.h"
#include "common/unique_handle.h"

namespace ankor::capi {

// An opaque platform handle (HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, HCERTSTORE,
// PCCERT_CONTEXT); 0 is no handle.
using Handle = std::uintptr_t;

// Values of the Win32 headers that the operations use, under names of their own so
// that no wincrypt.h macro can rewrite them, whatever the include order.
namespace win {
inline constexpr std::uint32_t kEncoding = 0x10001;  // X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
inline constexpr std::uint32_t kCryptNewKeySet = 0x8;
inline constexpr std::uint32_t kCryptVerifyContext = 0xF0000000;
inline constexpr std::uint32_t kParamEnumContainers = 2;
inline constexpr std::uint32_t kCryptFirst = 1;
inline constexpr std::uint32_t kCryptNext = 2;
inline constexpr std::uint32_t kKeyExchange = 1;
inline constexpr std::uint32_t kCryptExportable = 1;
inline constexpr std::uint32_t kPublicKeyBlob = 6;
inline constexpr std::uint32_t kKeyParamCertificate = 26;
inline constexpr std::uint32_t kHashParamValue = 2;
inline constexpr std::uint32_t kHashParamSize = 4;
inline constexpr std::uint32_t kAlgSha1 = 0x8004;
inline constexpr std::uint32_t kAlgSha256 = 0x800C;
inline constexpr std::uint32_t kAlgSha512 = 0x800E;
inline constexpr std::uint32_t kRdnPrintableString = 4;
inline constexpr std::uint32_t kStoreAddAlways = 4;
inline constexpr std::uint32_t kCloseStoreForce = 1;
inline constexpr std::uint32_t kProvRsaFull = 1;
inline constexpr std::uint32_t kProvRsaAes = 24;

inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorNoMoreFiles = 18;
inline constexpr std::uint32_t kBadHash = 0x80090002;
inline constexpr std::uint32_t kBadKey = 0x80090003;
inline constexpr std::uint32_t kBadData = 0x80090005;
inline constexpr std::uint32_t kBadAlgId = 0x80090008;
inline constexpr std::uint32_t kBadFlags = 0x80090009;
inline constexpr std::uint32_t kBadType = 0x8009000A;
inline constexpr std::uint32_t kBadHashState = 0x8009000C;
inline constexpr std::uint32_t kNoKey = 0x8009000D;
inline constexpr std::uint32_t kKeySetExists = 0x8009000F;
inline constexpr std::uint32_t kBadProvType = 0x80090014;
inline constexpr std::uint32_t kBadKeySet = 0x80090016;
inline constexpr std::uint32_t kProvTypeNoMatch = 0x8009001B;
inline constexpr std::uint32_t kKeySetNotDefined = 0x80090019;
inline constexpr std::uint32_t kFail = 0x80090020;
inline constexpr std::uint32_t kNotFound = 0x80092004;
inline constexpr std::uint32_t kAsn1BadTag = 0x8009310B;
inline constexpr std::uint32_t kInvalidPrintableString = 0x80092021;
}  // namespace win

// The key-provider record of a certificate (CRYPT_KEY_PROV_INFO without parameters).
struct KeyProvInfo {
  std::u16string containerName;
  std::u16string providerName;
  std::uint32_t providerType = 0;
  std::uint32_t flags = 0;
  std::uint32_t keySpec = 0;
};

// One attribute of a single-RDN X.500 name (CERT_RDN_ATTR).
struct NameAttribute {
  std::string oid;
  std::uint32_t valueType = 0;  // CERT_RDN_PRINTABLE_STRING, ...
  Bytes value;
};

// The to-be-signed request (CERT_REQUEST_INFO without attributes).
struct RequestInfo {
  std::uint32_t version = 0;
  Bytes subject;                                 // DER Name from encodeName
  const std::uint8_t* publicKeyInfo = nullptr;  // the buffer exportPublicKeyInfo filled
};

class CryptoPlatform {
 public:
  virtual ~CryptoPlatform() = default;

  // GetLastError: the reason of the calling thread's last failed call.
  virtual std::uint32_t lastError() = 0;
  // SetLastError.
  virtual void setLastError(std::uint32_t code) = 0;

  // CryptEnumProvidersA(index, NULL, 0, type, name, size); name may be null for the size.
  [[nodiscard]] virtual bool enumProviders(std::uint32_t index, std::uint32_t* type, char* name,
                                           std::uint32_t* size) = 0;
  // CryptAcquireContextA; container and provider may be null.
  [[nodiscard]] virtual bool acquireContext(Handle* provider, const char* container,
                                            const char* providerName, std::uint32_t type,
                                            std::uint32_t flags) = 0;
  // CryptReleaseContext(provider, 0).
  virtual bool releaseContext(Handle provider) = 0;
  // CryptGetProvParam; data may be null for the size.
  [[nodiscard]] virtual bool getProvParam(Handle provider, std::uint32_t param, std::uint8_t* data,
                                          std::uint32_t* length, std::uint32_t flags) = 0;

  // CryptGenKey.
  [[nodiscard]] virtual bool genKey(Handle provider, std::uint32_t algorithm, std::uint32_t flags,
                                    Handle* key) = 0;
  // CryptGetUserKey.
  [[nodiscard]] virtual bool getUserKey(Handle provider, std::uint32_t keySpec, Handle* key) = 0;
  // CryptExportKey(key, 0, blobType, 0, data, length); data may be null for the size.
  [[nodiscard]] virtual bool exportKey(Handle key, std::uint32_t blobType, std::uint8_t* data,
                                       std::uint32_t* length) = 0;
  // CryptSetKeyParam(key, param, data, 0); for KP_CERTIFICATE, data is the DER of a
  // certificate of size bytes.
  [[nodiscard]] virtual bool setKeyParam(Handle key, std::uint32_t param, const std::uint8_t* data,
                                         std::uint32_t size) = 0;
  // CryptDestroyKey.
  virtual bool destroyKey(Handle key) = 0;

  // CryptCreateHash(provider, algorithm, 0, 0, hash).
  [[nodiscard]] virtual bool createHash(Handle provider, std::uint32_t algorithm, Handle* hash) = 0;
  // CryptHashData(hash, data, size, 0).
  [[nodiscard]] virtual bool hashData(Handle hash, const std::uint8_t* data, std::uint32_t size) = 0;
  // CryptSetHashParam(hash, param, data, 0): HP_HASHVAL reads as many bytes as the
  // algorithm's digest has.
  [[nodiscard]] virtual bool setHashParam(Handle hash, std::uint32_t param,
                                          const std::uint8_t* data) = 0;
  // CryptGetHashParam(hash, param, data, length, 0).
  [[nodiscard]] virtual bool getHashParam(Handle hash, std::uint32_t param, std::uint8_t* data,
                                          std::uint32_t* length) = 0;
  // CryptSignHashA(hash, keySpec, NULL, 0, signature, length): least significant byte first.
  [[nodiscard]] virtual bool signHash(Handle hash, std::uint32_t keySpec, std::uint8_t* signature,
                                      std::uint32_t* length) = 0;
  // CryptDestroyHash.
  virtual bool destroyHash(Handle hash) = 0;

  // CryptEncodeObject(encoding, X509_NAME, one RDN of these attributes, out, length).
  [[nodiscard]] virtual bool encodeName(const NameAttribute* attributes, std::uint32_t count,
                                        std::uint8_t* out, std::uint32_t* length) = 0;
  // CryptExportPublicKeyInfo(provider, keySpec, encoding, info, length): the buffer is
  // opaque to the caller and only handed back to signAndEncodeRequest.
  [[nodiscard]] virtual bool exportPublicKeyInfo(Handle provider, std::uint32_t keySpec,
                                                 std::uint8_t* info, std::uint32_t* length) = 0;
  // CryptSignAndEncodeCertificate(provider, keySpec, encoding, X509_CERT_REQUEST_TO_BE_SIGNED,
  // request, {signatureOid, no parameters}, NULL, out, length): a DER PKCS#10 request.
  [[nodiscard]] virtual bool signAndEncodeRequest(Handle provider, std::uint32_t keySpec,
                                                  const RequestInfo& request,
                                                  const char* signatureOid, std::uint8_t* out,
                                                  std::uint32_t* length) = 0;

  // CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name).
  virtual Handle openCurrentUserStore(const char16_t* name) = 0;
  // CertCloseStore(store, flags).
  virtual bool closeStore(Handle store, std::uint32_t flags) = 0;
  // CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SHA1_HASH, hash, NULL).
  virtual Handle findCertificateBySha1(Handle store, const std::uint8_t* hash,
                                       std::uint32_t size) = 0;
  // CertEnumCertificatesInStore(store, previous): the store's next certificate after
  // previous (the first for 0), which the call frees; 0 at the end (CRYPT_E_NOT_FOUND)
  // or on failure.
  virtual Handle enumCertificatesInStore(Handle store, Handle previous) = 0;
  // The context's encoded certificate (pbCertEncoded, cbCertEncoded).
  [[nodiscard]] virtual bool getEncodedCertificate(Handle certificate, Bytes* der) = 0;
  // CertCreateCertificateContext(encoding, der, size).
  virtual Handle createCertificateContext(const std::uint8_t* der, std::uint32_t size) = 0;
  // CertAddCertificateContextToStore(store, certificate, disposition, added).
  [[nodiscard]] virtual bool addCertificateToStore(Handle store, Handle certificate,
                                                   std::uint32_t disposition, Handle* added) = 0;
  // CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info, size):
  // info null asks for the size of the record.
  [[nodiscard]] virtual bool getKeyProvInfo(Handle certificate, KeyProvInfo* info,
                                            std::uint32_t* size) = 0;
  // CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, info).
  [[nodiscard]] virtual bool setKeyProvInfo(Handle certificate, const KeyProvInfo& info) = 0;
  // CertFreeCertificateContext.
  virtual bool freeCertificateContext(Handle certificate) = 0;

  // MultiByteToWideChar(CP_ACP, 0, text, -1, wide, count): the characters of the text
  // with its terminating zero, written when wide is not null; 0 on failure.
  [[nodiscard]] virtual int toWide(const std::string& text, char16_t* wide, int count) = 0;
  // wcstombs in the program's locale; characters it cannot convert end the text.
  virtual std::string toNarrow(const std::u16string& wide) = 0;
  // A name that an A function gave (provider, container), converted from the process
  // code page to UTF-8 for the listings: MultiByteToWideChar(CP_ACP) then
  // WideCharToMultiByte(CP_UTF8) on Windows; on Linux, whose code page is UTF-8, each
  // byte that is not part of well-formed UTF-8 becomes U+FFFD. Never fails.
  virtual std::string ansiToUtf8(const std::string& text) = 0;
};

// True when every byte is in the PrintableString set (letters, digits, space and
// ' ( ) + , - . / : = ?), which CryptEncodeObject enforces for CERT_RDN_PRINTABLE_STRING.
inline bool isPrintableStringValue(const Bytes& value) {
  for (const std::uint8_t c : value) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && std::string_view(" '()+,-./:=?").find(static_cast<char>(c)) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// True when the bytes begin with one whole DER element (tag, definite length, content)
// that ends within them. CryptSetKeyParam(KP_CERTIFICATE) takes a certificate without
// its size, so the provider reads as far as the encoded length says.
inline bool derElementFits(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 2 || (data[0] & 0x1F) == 0x1F) return false;
  std::size_t header = 2;
  std::size_t length = data[1];
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    // No indefinite form in DER; four length bytes cover every 32-bit size.
    if (count == 0 || count > 4 || size < 2 + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[2 + i];
    header += count;
  }
  return length <= size - header;
}

// The back-end of this build (ADVAPI32/CRYPT32 on win32, the OpenSSL port on Linux).
CryptoPlatform& systemPlatform();

// Owners of the platform's handles, each released through the platform that gave it.
inline void releaseProvider(CryptoPlatform& p, Handle h) { (void)p.releaseContext(h); }
inline void releaseKey(CryptoPlatform& p, Handle h) { (void)p.destroyKey(h); }
inline void releaseHash(CryptoPlatform& p, Handle h) { (void)p.destroyHash(h); }
inline void releaseStore(CryptoPlatform& p, Handle h) {
  (void)p.closeStore(h, win::kCloseStoreForce);
}
inline void releaseCertificate(CryptoPlatform& p, Handle h) {
  (void)p.freeCertificateContext(h);
}

using ProviderContext = tarvo::BoundHandle<CryptoPlatform, Handle, 0, releaseProvider>;
using CryptKey = tarvo::BoundHandle<CryptoPlatform, Handle, 0, releaseKey>;
using CryptHash = tarvo::BoundHandle<CryptoPlatform, Handle, 0, releaseHash>;
using CertStore = tarvo::BoundHandle<CryptoPlatform, Handle, 0, releaseStore>;
using CertificateContext = tarvo::BoundHandle<CryptoPlatform, Handle, 0, releaseCertificate>;

}  // namespace ankor::capi
