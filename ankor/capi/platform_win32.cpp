// CryptoPlatform on Windows: each call forwards to ADVAPI32 or CRYPT32 unchanged.
#include "ankor/capi/platform.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace ankor::capi {

// The constants of platform.h are the values of the Win32 headers.
static_assert(win::kCryptNewKeySet == static_cast<std::uint32_t>(CRYPT_NEWKEYSET));
static_assert(win::kCryptVerifyContext == static_cast<std::uint32_t>(CRYPT_VERIFYCONTEXT));
static_assert(win::kParamEnumContainers == static_cast<std::uint32_t>(PP_ENUMCONTAINERS));
static_assert(win::kCryptFirst == static_cast<std::uint32_t>(CRYPT_FIRST));
static_assert(win::kCryptNext == static_cast<std::uint32_t>(CRYPT_NEXT));
static_assert(win::kKeyExchange == static_cast<std::uint32_t>(AT_KEYEXCHANGE));
static_assert(win::kCryptExportable == static_cast<std::uint32_t>(CRYPT_EXPORTABLE));
static_assert(win::kPublicKeyBlob == static_cast<std::uint32_t>(PUBLICKEYBLOB));
static_assert(win::kKeyParamCertificate == static_cast<std::uint32_t>(KP_CERTIFICATE));
static_assert(win::kHashParamValue == static_cast<std::uint32_t>(HP_HASHVAL));
static_assert(win::kHashParamSize == static_cast<std::uint32_t>(HP_HASHSIZE));
static_assert(win::kAlgSha1 == static_cast<std::uint32_t>(CALG_SHA1));
static_assert(win::kAlgSha256 == static_cast<std::uint32_t>(CALG_SHA_256));
static_assert(win::kAlgSha512 == static_cast<std::uint32_t>(CALG_SHA_512));
static_assert(win::kRdnPrintableString == static_cast<std::uint32_t>(CERT_RDN_PRINTABLE_STRING));
static_assert(win::kStoreAddAlways == static_cast<std::uint32_t>(CERT_STORE_ADD_ALWAYS));
static_assert(win::kCloseStoreForce == static_cast<std::uint32_t>(CERT_CLOSE_STORE_FORCE_FLAG));
static_assert(win::kProvRsaFull == static_cast<std::uint32_t>(PROV_RSA_FULL));
static_assert(win::kProvRsaAes == static_cast<std::uint32_t>(PROV_RSA_AES));
static_assert(win::kErrorAccessDenied == static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
static_assert(win::kErrorInvalidParameter == static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
static_assert(win::kErrorMoreData == static_cast<std::uint32_t>(ERROR_MORE_DATA));
static_assert(win::kErrorNoMoreItems == static_cast<std::uint32_t>(ERROR_NO_MORE_ITEMS));
static_assert(win::kErrorNoMoreFiles == static_cast<std::uint32_t>(ERROR_NO_MORE_FILES));
static_assert(win::kBadHashState == static_cast<std::uint32_t>(NTE_BAD_HASH_STATE));
static_assert(win::kBadHash == static_cast<std::uint32_t>(NTE_BAD_HASH));
static_assert(win::kBadKeySet == static_cast<std::uint32_t>(NTE_BAD_KEYSET));
static_assert(win::kBadKey == static_cast<std::uint32_t>(NTE_BAD_KEY));
static_assert(win::kBadData == static_cast<std::uint32_t>(NTE_BAD_DATA));
static_assert(win::kBadAlgId == static_cast<std::uint32_t>(NTE_BAD_ALGID));
static_assert(win::kBadFlags == static_cast<std::uint32_t>(NTE_BAD_FLAGS));
static_assert(win::kBadType == static_cast<std::uint32_t>(NTE_BAD_TYPE));
static_assert(win::kNoKey == static_cast<std::uint32_t>(NTE_NO_KEY));
static_assert(win::kKeySetExists == static_cast<std::uint32_t>(NTE_EXISTS));
static_assert(win::kBadProvType == static_cast<std::uint32_t>(NTE_BAD_PROV_TYPE));
static_assert(win::kProvTypeNoMatch == static_cast<std::uint32_t>(NTE_PROV_TYPE_NO_MATCH));
static_assert(win::kKeySetNotDefined == static_cast<std::uint32_t>(NTE_KEYSET_NOT_DEF));
static_assert(win::kFail == static_cast<std::uint32_t>(NTE_FAIL));
static_assert(win::kNotFound == static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
static_assert(win::kAsn1BadTag == static_cast<std::uint32_t>(CRYPT_E_ASN1_BADTAG));
static_assert(win::kInvalidPrintableString == static_cast<std::uint32_t>(CRYPT_E_INVALID_PRINTABLE_STRING));

namespace {

HCRYPTPROV prov(Handle h) { return static_cast<HCRYPTPROV>(h); }
HCRYPTKEY key(Handle h) { return static_cast<HCRYPTKEY>(h); }
HCRYPTHASH hash(Handle h) { return static_cast<HCRYPTHASH>(h); }
HCERTSTORE store(Handle h) { return reinterpret_cast<HCERTSTORE>(h); }
PCCERT_CONTEXT cert(Handle h) { return reinterpret_cast<PCCERT_CONTEXT>(h); }
Handle handleOf(const void* p) { return reinterpret_cast<Handle>(p); }
const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

void appendDerLength(std::vector<BYTE>& der, std::size_t length) {
  if (length < 0x80) {
    der.push_back(static_cast<BYTE>(length));
    return;
  }
  BYTE bytes[sizeof(std::size_t)];
  int count = 0;
  for (std::size_t rest = length; rest != 0; rest >>= 8) bytes[count++] = static_cast<BYTE>(rest);
  der.push_back(static_cast<BYTE>(0x80 | count));
  while (count > 0) der.push_back(bytes[--count]);
}

// CryptEncodeObject in its two-call form into a vector.
bool encodeObject(LPCSTR structType, const void* value, std::vector<BYTE>& der) {
  DWORD size = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, structType, value, nullptr,
                         &size)) {
    return false;
  }
  der.assign(size, 0);
  if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, structType, value, der.data(),
                         &size)) {
    return false;
  }
  der.resize(size);
  return true;
}

// A PKCS#10 request from CertificationRequestInfo encoded here (version, subject,
// SubjectPublicKeyInfo, no attributes), CryptSignCertificate and the X509_CERT
// encoder for the signed structure; the two-call convention of the caller is kept.
bool signRequestInPieces(HCRYPTPROV provider, DWORD keySpec, const CERT_REQUEST_INFO& info,
                         CRYPT_ALGORITHM_IDENTIFIER& algorithm, std::uint8_t* out,
                         std::uint32_t* length) {
  std::vector<BYTE> publicKey;
  if (!encodeObject(X509_PUBLIC_KEY_INFO, &info.SubjectPublicKeyInfo, publicKey)) return false;
  std::vector<BYTE> body = {0x02, 0x01, static_cast<BYTE>(info.dwVersion)};
  body.insert(body.end(), info.Subject.pbData, info.Subject.pbData + info.Subject.cbData);
  body.insert(body.end(), publicKey.begin(), publicKey.end());
  body.push_back(0xA0);  // attributes [0], an empty set
  body.push_back(0x00);
  std::vector<BYTE> toBeSigned = {0x30};
  appendDerLength(toBeSigned, body.size());
  toBeSigned.insert(toBeSigned.end(), body.begin(), body.end());

  DWORD signatureSize = 0;
  if (!CryptSignCertificate(provider, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                            toBeSigned.data(), static_cast<DWORD>(toBeSigned.size()), &algorithm,
                            nullptr, nullptr, &signatureSize)) {
    return false;
  }
  std::vector<BYTE> signature(signatureSize, 0);
  if (!CryptSignCertificate(provider, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                            toBeSigned.data(), static_cast<DWORD>(toBeSigned.size()), &algorithm,
                            nullptr, signature.data(), &signatureSize)) {
    return false;
  }
  CERT_SIGNED_CONTENT_INFO signedInfo{};
  signedInfo.ToBeSigned.cbData = static_cast<DWORD>(toBeSigned.size());
  signedInfo.ToBeSigned.pbData = toBeSigned.data();
  signedInfo.SignatureAlgorithm = algorithm;
  signedInfo.Signature.cbData = signatureSize;
  signedInfo.Signature.pbData = signature.data();
  signedInfo.Signature.cUnusedBits = 0;
  std::vector<BYTE> request;
  if (!encodeObject(X509_CERT, &signedInfo, request)) return false;
  const auto needed = static_cast<std::uint32_t>(request.size());
  if (out != nullptr && *length < needed) {
    *length = needed;
    SetLastError(ERROR_MORE_DATA);
    return false;
  }
  if (out != nullptr) std::copy(request.begin(), request.end(), out);
  *length = needed;
  return true;
}

class Win32Platform final : public CryptoPlatform {
 public:
  std::uint32_t lastError() override { return GetLastError(); }
  void setLastError(std::uint32_t code) override { SetLastError(code); }

  bool enumProviders(std::uint32_t index, std::uint32_t* type, char* name,
                     std::uint32_t* size) override {
    DWORD t = 0;
    DWORD s = *size;
    const BOOL ok = CryptEnumProvidersA(index, nullptr, 0, &t, name, &s);
    *type = t;
    *size = s;
    return ok != FALSE;
  }
  bool acquireContext(Handle* provider, const char* container, const char* providerName,
                      std::uint32_t type, std::uint32_t flags) override {
    HCRYPTPROV h = 0;
    const BOOL ok = CryptAcquireContextA(&h, container, providerName, type, flags);
    *provider = ok ? static_cast<Handle>(h) : 0;
    return ok != FALSE;
  }
  bool releaseContext(Handle provider) override {
    return CryptReleaseContext(prov(provider), 0) != FALSE;
  }
  bool getProvParam(Handle provider, std::uint32_t param, std::uint8_t* data,
                    std::uint32_t* length, std::uint32_t flags) override {
    DWORD l = *length;
    const BOOL ok = CryptGetProvParam(prov(provider), param, data, &l, flags);
    *length = l;
    return ok != FALSE;
  }

  bool genKey(Handle provider, std::uint32_t algorithm, std::uint32_t flags,
              Handle* k) override {
    HCRYPTKEY h = 0;
    const BOOL ok = CryptGenKey(prov(provider), algorithm, flags, &h);
    *k = ok ? static_cast<Handle>(h) : 0;
    return ok != FALSE;
  }
  bool getUserKey(Handle provider, std::uint32_t keySpec, Handle* k) override {
    HCRYPTKEY h = 0;
    const BOOL ok = CryptGetUserKey(prov(provider), keySpec, &h);
    *k = ok ? static_cast<Handle>(h) : 0;
    return ok != FALSE;
  }
  bool exportKey(Handle k, std::uint32_t blobType, std::uint8_t* data,
                 std::uint32_t* length) override {
    DWORD l = *length;
    const BOOL ok = CryptExportKey(key(k), 0, blobType, 0, data, &l);
    *length = l;
    return ok != FALSE;
  }
  bool setKeyParam(Handle k, std::uint32_t param, const std::uint8_t* data,
                   std::uint32_t size) override {
    // The provider parses the certificate by its encoded length: bytes that claim more
    // than they hold are refused here instead of being read past their end.
    if (param == KP_CERTIFICATE && !derElementFits(data, size)) {
      SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
      return false;
    }
    return CryptSetKeyParam(key(k), param, data, 0) != FALSE;
  }
  bool destroyKey(Handle k) override { return CryptDestroyKey(key(k)) != FALSE; }

  bool createHash(Handle provider, std::uint32_t algorithm, Handle* h) override {
    HCRYPTHASH out = 0;
    const BOOL ok = CryptCreateHash(prov(provider), algorithm, 0, 0, &out);
    *h = ok ? static_cast<Handle>(out) : 0;
    return ok != FALSE;
  }
  bool hashData(Handle h, const std::uint8_t* data, std::uint32_t size) override {
    return CryptHashData(hash(h), data, size, 0) != FALSE;
  }
  bool setHashParam(Handle h, std::uint32_t param, const std::uint8_t* data) override {
    return CryptSetHashParam(hash(h), param, data, 0) != FALSE;
  }
  bool getHashParam(Handle h, std::uint32_t param, std::uint8_t* data,
                    std::uint32_t* length) override {
    DWORD l = *length;
    const BOOL ok = CryptGetHashParam(hash(h), param, data, &l, 0);
    *length = l;
    return ok != FALSE;
  }
  bool signHash(Handle h, std::uint32_t keySpec, std::uint8_t* signature,
                std::uint32_t* length) override {
    DWORD l = *length;
    const BOOL ok = CryptSignHashA(hash(h), keySpec, nullptr, 0, signature, &l);
    *length = l;
    return ok != FALSE;
  }
  bool destroyHash(Handle h) override { return CryptDestroyHash(hash(h)) != FALSE; }

  bool encodeName(const NameAttribute* attributes, std::uint32_t count, std::uint8_t* out,
                  std::uint32_t* length) override {
    std::vector<CERT_RDN_ATTR> attrs(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      // Windows refuses such a value; Wine's encoder would write it unchecked.
      if (attributes[i].valueType == CERT_RDN_PRINTABLE_STRING &&
          !isPrintableStringValue(attributes[i].value)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_PRINTABLE_STRING));
        return false;
      }
      attrs[i].pszObjId = const_cast<LPSTR>(attributes[i].oid.c_str());
      attrs[i].dwValueType = attributes[i].valueType;
      attrs[i].Value.cbData = static_cast<DWORD>(attributes[i].value.size());
      attrs[i].Value.pbData = const_cast<BYTE*>(attributes[i].value.data());
    }
    CERT_RDN rdn{count, attrs.data()};
    CERT_NAME_INFO name{1, &rdn};
    DWORD l = *length;
    const BOOL ok = CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_NAME, &name,
                                      out, &l);
    *length = l;
    return ok != FALSE;
  }
  bool exportPublicKeyInfo(Handle provider, std::uint32_t keySpec, std::uint8_t* info,
                           std::uint32_t* length) override {
    DWORD l = *length;
    const BOOL ok = CryptExportPublicKeyInfo(prov(provider), keySpec,
                                             X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info), &l);
    *length = l;
    return ok != FALSE;
  }
  bool signAndEncodeRequest(Handle provider, std::uint32_t keySpec, const RequestInfo& request,
                            const char* signatureOid, std::uint8_t* out,
                            std::uint32_t* length) override {
    CERT_REQUEST_INFO info{};
    info.dwVersion = request.version;
    info.Subject.cbData = static_cast<DWORD>(request.subject.size());
    info.Subject.pbData = const_cast<BYTE*>(request.subject.data());
    info.SubjectPublicKeyInfo =
        *reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(request.publicKeyInfo);
    info.cAttribute = 0;
    info.rgAttribute = nullptr;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{};
    algorithm.pszObjId = const_cast<LPSTR>(signatureOid);
    DWORD l = *length;
    const BOOL ok = CryptSignAndEncodeCertificate(
        prov(provider), keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
        X509_CERT_REQUEST_TO_BE_SIGNED, &info, &algorithm, nullptr, out, &l);
    *length = l;
    if (!ok && GetLastError() == ERROR_FILE_NOT_FOUND) {
      // No encoder for X509_CERT_REQUEST_TO_BE_SIGNED (Wine's crypt32): the same request
      // through the pieces that exist, still signed by the container's key.
      return signRequestInPieces(prov(provider), keySpec, info, algorithm, out, length);
    }
    return ok != FALSE;
  }

  Handle openCurrentUserStore(const char16_t* name) override {
    return handleOf(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                  CERT_SYSTEM_STORE_CURRENT_USER,
                                  reinterpret_cast<const wchar_t*>(name)));
  }
  bool closeStore(Handle s, std::uint32_t flags) override {
    return CertCloseStore(store(s), flags) != FALSE;
  }
  Handle findCertificateBySha1(Handle s, const std::uint8_t* h, std::uint32_t size) override {
    CRYPT_HASH_BLOB blob{size, const_cast<BYTE*>(h)};
    return handleOf(CertFindCertificateInStore(store(s), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                               0, CERT_FIND_SHA1_HASH, &blob, nullptr));
  }
  Handle enumCertificatesInStore(Handle s, Handle previous) override {
    return handleOf(CertEnumCertificatesInStore(store(s), cert(previous)));
  }
  bool getEncodedCertificate(Handle c, Bytes* der) override {
    PCCERT_CONTEXT context = cert(c);
    if (context == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    der->assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    return true;
  }
  Handle createCertificateContext(const std::uint8_t* der, std::uint32_t size) override {
    return handleOf(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size));
  }
  bool addCertificateToStore(Handle s, Handle c, std::uint32_t disposition,
                             Handle* added) override {
    PCCERT_CONTEXT out = nullptr;
    const BOOL ok = CertAddCertificateContextToStore(store(s), cert(c), disposition, &out);
    *added = ok ? handleOf(out) : 0;
    return ok != FALSE;
  }
  bool getKeyProvInfo(Handle c, KeyProvInfo* info, std::uint32_t* size) override {
    DWORD s = 0;
    if (info == nullptr) {
      const BOOL ok =
          CertGetCertificateContextProperty(cert(c), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &s);
      *size = s;
      return ok != FALSE;
    }
    // The record's strings point into the same buffer; 8-byte alignment for the struct.
    s = *size;
    std::vector<unsigned long long> buffer(s / sizeof(unsigned long long) + 1, 0);
    if (!CertGetCertificateContextProperty(cert(c), CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                           &s)) {
      return false;
    }
    const auto* record = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    auto copy = [](const wchar_t* text) {
      return text == nullptr ? std::u16string()
                             : std::u16string(reinterpret_cast<const char16_t*>(text));
    };
    info->containerName = copy(record->pwszContainerName);
    info->providerName = copy(record->pwszProvName);
    info->providerType = record->dwProvType;
    info->flags = record->dwFlags;
    info->keySpec = record->dwKeySpec;
    *size = s;
    return true;
  }
  bool setKeyProvInfo(Handle c, const KeyProvInfo& info) override {
    CRYPT_KEY_PROV_INFO record{};
    record.pwszContainerName = const_cast<LPWSTR>(wide(info.containerName));
    record.pwszProvName = const_cast<LPWSTR>(wide(info.providerName));
    record.dwProvType = info.providerType;
    record.dwFlags = info.flags;
    record.cProvParam = 0;
    record.rgProvParam = nullptr;
    record.dwKeySpec = info.keySpec;
    return CertSetCertificateContextProperty(cert(c), CERT_KEY_PROV_INFO_PROP_ID, 0, &record) !=
           FALSE;
  }
  bool freeCertificateContext(Handle c) override {
    return CertFreeCertificateContext(cert(c)) != FALSE;
  }

  int toWide(const std::string& text, char16_t* wide, int count) override {
    return MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, reinterpret_cast<wchar_t*>(wide),
                               wide == nullptr ? 0 : count);
  }
  std::string toNarrow(const std::u16string& text) override {
    // A zero-filled buffer one byte longer than the name in characters; a character
    // that the locale cannot convert ends the text there.
    std::vector<char> buffer(text.size() + 1, 0);
    (void)std::wcstombs(buffer.data(), wide(text), text.size());
    return std::string(buffer.data());
  }
  std::string ansiToUtf8(const std::string& text) override {
    if (text.empty()) return text;
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring utf16(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    const int bytes = units > 0 && MultiByteToWideChar(CP_ACP, 0, text.data(), size,
                                                       utf16.data(), units) == units
                          ? WideCharToMultiByte(CP_UTF8, 0, utf16.data(), units, nullptr, 0,
                                                nullptr, nullptr)
                          : 0;
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0 && WideCharToMultiByte(CP_UTF8, 0, utf16.data(), units, utf8.data(), bytes,
                                         nullptr, nullptr) == bytes) {
      return utf8;
    }
    // Not convertible: ASCII stays, every other byte becomes U+FFFD, so that the
    // listing still holds the name.
    std::string kept;
    for (const char c : text) {
      if (static_cast<unsigned char>(c) < 0x80) {
        kept += c;
      } else {
        kept += "\xEF\xBF\xBD";
      }
    }
    return kept;
  }
};

}  // namespace

CryptoPlatform& systemPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace ankor::capi
