// A small PKCS#11 module DLL for the tests under Wine. One slot (ID 12) holds one
// token whose objects live in a text file beside the DLL, so that they outlive each
// run of ankor; RSA keys live in CryptoAPI key containers of the default
// PROV_RSA_AES provider. It understands just what ankor asks: listing, login with
// PIN 1234, object search by class and CKA_ID, key generation, certificate
// creation, the modulus, and CKM_RSA_PKCS signatures of SHA-1/256/512 DigestInfos.
// It exports the C_* functions by name and C_GetFunctionList; built with
// ANKOR_TABLE_ONLY it exports C_GetFunctionList alone, as some vendors' modules do;
// built with ANKOR_NEEDS_DEPENDENCY it imports ankor_p11_dependency.dll, as a vendor's
// module imports the helpers installed beside it.
#ifndef ANKOR_TABLE_ONLY
#define CRYPTOKI_EXPORTS
#endif
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr CK_SLOT_ID kSlot = 12;
constexpr CK_SESSION_HANDLE kSession = 7;

struct Object {
  CK_OBJECT_CLASS objectClass = 0;
  Bytes id, label, value;  // value: the DER of a certificate
  std::string container;   // key objects: their CryptoAPI container
};

bool initialized = false;
bool loggedIn = false;
std::vector<CK_OBJECT_HANDLE> searchResult;
std::string signingContainer;

std::string hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text = "x";  // never empty, so that every field reads back
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

Bytes unhex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 1; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string storePath() {
  char path[MAX_PATH] = {};
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&storePath), &self);
  GetModuleFileNameA(self, path, MAX_PATH);
  return std::string(path) + ".objects";
}

std::vector<Object> load() {
  std::vector<Object> objects;
  std::ifstream in(storePath());
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Object o;
    std::string id, label, value;
    fields >> o.objectClass >> id >> label >> value >> o.container;
    o.id = unhex(id);
    o.label = unhex(label);
    o.value = unhex(value);
    objects.push_back(o);
  }
  return objects;
}

void append(const Object& o) {
  std::ofstream out(storePath(), std::ios::app);
  out << o.objectClass << ' ' << hex(o.id) << ' ' << hex(o.label) << ' ' << hex(o.value) << ' '
      << (o.container.empty() ? "-" : o.container) << '\n';
}

void blankCopy(unsigned char* field, std::size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

Bytes attributeBytes(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type == type && attributes[i].pValue != nullptr) {
      const auto* p = static_cast<const unsigned char*>(attributes[i].pValue);
      return Bytes(p, p + attributes[i].ulValueLen);
    }
  }
  return {};
}

// The public modulus, big-endian, from the container's PUBLICKEYBLOB.
Bytes modulus(const std::string& container) {
  Bytes result;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, container.c_str(), nullptr, PROV_RSA_AES, 0)) return result;
  HCRYPTKEY key = 0;
  if (CryptGetUserKey(provider, AT_SIGNATURE, &key)) {
    DWORD size = 0;
    if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
      Bytes blob(size);
      if (CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
        const auto* info = reinterpret_cast<const RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
        const unsigned char* n = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
        result.assign(n, n + info->bitlen / 8);
        std::reverse(result.begin(), result.end());
      }
    }
    CryptDestroyKey(key);
  }
  CryptReleaseContext(provider, 0);
  return result;
}

bool matches(const Object& o, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const auto* p = static_cast<const unsigned char*>(attributes[i].pValue);
    const Bytes wanted(p, p + attributes[i].ulValueLen);
    if (attributes[i].type == CKA_CLASS) {
      CK_OBJECT_CLASS c = 0;
      std::memcpy(&c, p, std::min<std::size_t>(sizeof c, attributes[i].ulValueLen));
      if (c != o.objectClass) return false;
    } else if (attributes[i].type == CKA_ID && wanted != o.id) {
      return false;
    }
  }
  return true;
}

CK_RV put(CK_ATTRIBUTE& attribute, const void* data, std::size_t size) {
  if (attribute.pValue == nullptr) {
    attribute.ulValueLen = size;
    return CKR_OK;
  }
  if (attribute.ulValueLen < size) return CKR_BUFFER_TOO_SMALL;
  std::memcpy(attribute.pValue, data, size);
  attribute.ulValueLen = size;
  return CKR_OK;
}

}  // namespace

#ifdef ANKOR_NEEDS_DEPENDENCY
extern "C" __declspec(dllimport) int ankorTestDependency();
#endif

extern "C" {

CK_RV C_Initialize(void*) {
#ifdef ANKOR_NEEDS_DEPENDENCY
  if (ankorTestDependency() != 42) return CKR_GENERAL_ERROR;
#endif
  if (initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  initialized = true;
  return CKR_OK;
}

CK_RV C_Finalize(void*) {
  initialized = false;
  return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
  if (list != nullptr) list[0] = kSlot;
  *count = 1;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  blankCopy(info->slotDescription, sizeof info->slotDescription, "Ankor test slot");
  blankCopy(info->manufacturerID, sizeof info->manufacturerID, "Ankor tests");
  info->flags = CKF_TOKEN_PRESENT;
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  blankCopy(info->label, sizeof info->label, "Ankor Wine Token");
  blankCopy(info->manufacturerID, sizeof info->manufacturerID, "Ankor tests");
  blankCopy(info->model, sizeof info->model, "Wine module");
  blankCopy(info->serialNumber, sizeof info->serialNumber, "0A1B2C3D");
  info->ulFreePublicMemory = 32768;
  info->ulFreePrivateMemory = 16384;
  return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  *session = kSession;
  return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE) { return CKR_OK; }

CK_RV C_Login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR* pin, CK_ULONG length) {
  if (pin == nullptr || length != 4 || std::memcmp(pin, "1234", 4) != 0) return CKR_PIN_INCORRECT;
  loggedIn = true;
  return CKR_OK;
}

CK_RV C_Logout(CK_SESSION_HANDLE) {
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  loggedIn = false;
  return CKR_OK;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count) {
  searchResult.clear();
  const auto objects = load();
  for (std::size_t i = objects.size(); i-- > 0;) {
    if (matches(objects[i], attributes, count)) searchResult.push_back(i + 1);
  }
  return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* objects, CK_ULONG max, CK_ULONG* count) {
  *count = 0;
  while (*count < max && !searchResult.empty()) {
    objects[(*count)++] = searchResult.back();
    searchResult.pop_back();
  }
  return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE) {
  searchResult.clear();
  return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE* attributes,
                          CK_ULONG count) {
  const auto objects = load();
  if (handle == 0 || handle > objects.size()) return CKR_OBJECT_HANDLE_INVALID;
  const Object& o = objects[handle - 1];
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& a = attributes[i];
    CK_RV one = CKR_OK;
    if (a.type == CKA_CLASS) {
      one = put(a, &o.objectClass, sizeof o.objectClass);
    } else if (a.type == CKA_ID) {
      one = put(a, o.id.data(), o.id.size());
    } else if (a.type == CKA_LABEL) {
      one = put(a, o.label.data(), o.label.size());
    } else if (a.type == CKA_VALUE && o.objectClass == CKO_CERTIFICATE) {
      one = put(a, o.value.data(), o.value.size());
    } else if (a.type == CKA_MODULUS && o.objectClass == CKO_PUBLIC_KEY) {
      const Bytes n = modulus(o.container);
      one = put(a, n.data(), n.size());
    } else {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      one = CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (one != CKR_OK) rv = one;
  }
  return rv;
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM* mechanism, CK_ATTRIBUTE* publicTemplate,
                        CK_ULONG publicCount, CK_ATTRIBUTE* privateTemplate,
                        CK_ULONG privateCount, CK_OBJECT_HANDLE* publicKey,
                        CK_OBJECT_HANDLE* privateKey) {
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
  const Bytes bitsBytes = attributeBytes(publicTemplate, publicCount, CKA_MODULUS_BITS);
  CK_ULONG bits = 0;
  std::memcpy(&bits, bitsBytes.data(), std::min(sizeof bits, bitsBytes.size()));
  if (bits < 512 || bits > 4096) return CKR_KEY_SIZE_RANGE;

  Object pub;
  pub.id = attributeBytes(publicTemplate, publicCount, CKA_ID);
  pub.label = attributeBytes(publicTemplate, publicCount, CKA_LABEL);
  pub.container = "ankor-test-" + hex(pub.id).substr(1);
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, pub.container.c_str(), nullptr, PROV_RSA_AES,
                            CRYPT_NEWKEYSET)) {
    return CKR_DEVICE_ERROR;
  }
  HCRYPTKEY key = 0;
  const BOOL made = CryptGenKey(provider, AT_SIGNATURE, (bits << 16), &key);
  if (made) CryptDestroyKey(key);
  CryptReleaseContext(provider, 0);
  if (!made) return CKR_DEVICE_ERROR;

  pub.objectClass = CKO_PUBLIC_KEY;
  Object priv = pub;
  priv.objectClass = CKO_PRIVATE_KEY;
  priv.id = attributeBytes(privateTemplate, privateCount, CKA_ID);
  priv.label = attributeBytes(privateTemplate, privateCount, CKA_LABEL);
  append(pub);
  append(priv);
  const auto count = load().size();
  *publicKey = count - 1;
  *privateKey = count;
  return CKR_OK;
}

CK_RV C_CreateObject(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count,
                     CK_OBJECT_HANDLE* object) {
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  Object o;
  o.objectClass = CKO_CERTIFICATE;
  o.value = attributeBytes(attributes, count, CKA_VALUE);
  o.id = attributeBytes(attributes, count, CKA_ID);
  o.label = attributeBytes(attributes, count, CKA_LABEL);
  if (o.value.empty()) return CKR_TEMPLATE_INCOMPLETE;
  append(o);
  *object = load().size();
  return CKR_OK;
}

CK_RV C_SignInit(CK_SESSION_HANDLE, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  const auto objects = load();
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
  if (key == 0 || key > objects.size() || objects[key - 1].objectClass != CKO_PRIVATE_KEY) {
    return CKR_KEY_HANDLE_INVALID;
  }
  signingContainer = objects[key - 1].container;
  return CKR_OK;
}

// Signs the digest inside a SHA-1, SHA-256 or SHA-512 DigestInfo.
CK_RV C_Sign(CK_SESSION_HANDLE, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
             CK_ULONG* signatureLength) {
  if (signingContainer.empty()) return CKR_OPERATION_NOT_INITIALIZED;
  ALG_ID algorithm;
  std::size_t prefix;
  if (length == 35) algorithm = CALG_SHA1, prefix = 15;
  else if (length == 51) algorithm = CALG_SHA_256, prefix = 19;
  else if (length == 83) algorithm = CALG_SHA_512, prefix = 19;
  else return CKR_DATA_LEN_RANGE;

  CK_RV rv = CKR_DEVICE_ERROR;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, signingContainer.c_str(), nullptr, PROV_RSA_AES, 0)) return rv;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, algorithm, 0, 0, &hash)) {
    DWORD size = 0;
    if (CryptSetHashParam(hash, HP_HASHVAL, data + prefix, 0) &&
        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size)) {
      if (signature == nullptr) {
        *signatureLength = size;
        rv = CKR_OK;
      } else if (*signatureLength < size) {
        *signatureLength = size;
        rv = CKR_BUFFER_TOO_SMALL;
      } else if (CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature, &size)) {
        std::reverse(signature, signature + size);  // CryptoAPI writes little-endian
        *signatureLength = size;
        signingContainer.clear();
        rv = CKR_OK;
      }
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return rv;
}

// The table of the functions above; the others are left empty.
__declspec(dllexport) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
  static CK_FUNCTION_LIST table = [] {
    CK_FUNCTION_LIST t{};
    t.version = {2, 20};
    t.C_Initialize = C_Initialize;
    t.C_Finalize = C_Finalize;
    t.C_GetFunctionList = C_GetFunctionList;
    t.C_GetSlotList = C_GetSlotList;
    t.C_GetSlotInfo = C_GetSlotInfo;
    t.C_GetTokenInfo = C_GetTokenInfo;
    t.C_OpenSession = C_OpenSession;
    t.C_CloseSession = C_CloseSession;
    t.C_Login = C_Login;
    t.C_Logout = C_Logout;
    t.C_FindObjectsInit = C_FindObjectsInit;
    t.C_FindObjects = C_FindObjects;
    t.C_FindObjectsFinal = C_FindObjectsFinal;
    t.C_GetAttributeValue = C_GetAttributeValue;
    t.C_GenerateKeyPair = C_GenerateKeyPair;
    t.C_CreateObject = C_CreateObject;
    t.C_SignInit = C_SignInit;
    t.C_Sign = C_Sign;
    return t;
  }();
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &table;
  return CKR_OK;
}

}  // extern "C"
