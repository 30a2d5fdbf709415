// A small PKCS#11 module DLL for the tests under Wine. One slot (ID 12) holds one
// token whose objects live in a text file beside the DLL, so that they outlive each
// run of ankor; RSA keys live in CryptoAPI key containers of the default
// PROV_RSA_AES provider. It understands just what ankor asks: listing, login with
// PIN 1234, object search by class and CKA_ID, key generation, certificate
// creation, the modulus, CKM_RSA_PKCS signatures of SHA-1/256/512 DigestInfos and
// CKM_SHA*_RSA_PKCS signatures of data.
// It exports the C_* functions by name and C_GetFunctionList; built with
// ANKOR_TABLE_ONLY it exports C_GetFunctionList alone, as some vendors' modules do;
// built with ANKOR_NEEDS_DEPENDENCY it imports ankor_p11_dependency.dll, as a vendor's
// module imports the helpers installed beside it.
//
// Behaviours of real tokens, chosen by environment variables (Wine passes them on):
//   ANKOR_TESTMODULE_FLAGS=N       CK_TOKEN_INFO.flags (default RNG, LOGIN_REQUIRED,
//                                  USER_PIN_INITIALIZED, TOKEN_INITIALIZED). With
//                                  PROTECTED_AUTHENTICATION_PATH a NULL PIN logs in
//                                  (the PIN pad); with USER_PIN_LOCKED every login
//                                  answers CKR_PIN_LOCKED; without
//                                  USER_PIN_INITIALIZED, CKR_USER_PIN_NOT_INITIALIZED.
//   ANKOR_TESTMODULE_INITIALIZE=RV C_Initialize answers RV.
//   ANKOR_TESTMODULE_SLOTLIST=RV   C_GetSlotList answers RV.
//   ANKOR_TESTMODULE_MECHANISMS=hashing
//                                  no CKM_RSA_PKCS: RSA signs through
//                                  CKM_SHA1/SHA256/SHA512_RSA_PKCS only.
//   ANKOR_TESTMODULE_TOKENS=2      a second token (slot 13, PIN 5678, objects of its
//                                  own) with the same serial as the first.
//   ANKOR_TESTMODULE_REQUIRE_SUBJECT=1
//                                  a certificate without CKA_SUBJECT is refused with
//                                  CKR_TEMPLATE_INCOMPLETE, as conforming modules do.
// Every C_Login appends one line "slot=S pin=NULL|given rv=0xXXXXXXXX" to the file
// beside the DLL named like it with ".logins", so a test counts the tries a token saw.
// A certificate's CKA_SUBJECT, CKA_ISSUER and CKA_SERIAL_NUMBER are kept (hex) after
// its other fields in the objects file.
// Files beside the DLL make a copy of it fail C_Initialize or report token flags
// (besideValue).
#ifndef ANKOR_TABLE_ONLY
#define CRYPTOKI_EXPORTS
#endif
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr CK_SLOT_ID kSlot = 12;        // the first token; the second is kSlot + 1
constexpr CK_SESSION_HANDLE kSession = 7;  // a session on slot S has handle S - 5

struct Object {
  CK_OBJECT_CLASS objectClass = 0;
  Bytes id, label, value;  // value: the DER of a certificate
  std::string container;   // key objects: their CryptoAPI container
  Bytes subject, issuer, serialNumber;  // certificates: as the template gave them
};

bool initialized = false;
bool loggedIn = false;
std::vector<CK_OBJECT_HANDLE> searchResult;
std::string signingContainer;
CK_MECHANISM_TYPE signingMechanism = CKM_RSA_PKCS;

// The behaviour variables of the header comment.
std::string setting(const char* name) {
  char value[256] = {};
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

CK_ULONG numberSetting(const char* name, CK_ULONG fallback) {
  const std::string text = setting(name);
  return text.empty() ? fallback : static_cast<CK_ULONG>(std::stoul(text, nullptr, 0));
}

CK_FLAGS tokenFlags() {
  return numberSetting("ANKOR_TESTMODULE_FLAGS", CKF_RNG | CKF_LOGIN_REQUIRED |
                                                     CKF_USER_PIN_INITIALIZED |
                                                     CKF_TOKEN_INITIALIZED);
}

bool hashingOnly() { return setting("ANKOR_TESTMODULE_MECHANISMS") == "hashing"; }

CK_ULONG tokenCount() { return numberSetting("ANKOR_TESTMODULE_TOKENS", 1) >= 2 ? 2 : 1; }

bool validSlot(CK_SLOT_ID slot) { return slot >= kSlot && slot < kSlot + tokenCount(); }

CK_SLOT_ID slotOf(CK_SESSION_HANDLE session) { return session - kSession + kSlot; }

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

std::string modulePath() {
  char path[MAX_PATH] = {};
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&modulePath), &self);
  GetModuleFileNameA(self, path, MAX_PATH);
  return path;
}

// The objects of the token in slot (the first token's file keeps its old name).
std::string storePath(CK_SLOT_ID slot) {
  return modulePath() + ".objects" + (slot == kSlot ? "" : "." + std::to_string(slot));
}

CK_SLOT_ID currentSlot = kSlot;  // the slot of the session in use

// A number the test writes into a file beside the DLL ("<dll>.initialize": the code
// C_Initialize answers; "<dll>.tokenflags": flags C_GetTokenInfo adds), or nothing.
std::optional<unsigned long> besideValue(const char* suffix) {
  std::ifstream in(modulePath() + suffix);
  std::string text;
  if (!(in >> text)) return std::nullopt;
  return std::stoul(text, nullptr, 0);
}

std::vector<Object> load() {
  std::vector<Object> objects;
  std::ifstream in(storePath(currentSlot));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Object o;
    std::string id, label, value, subject, issuer, serialNumber;
    fields >> o.objectClass >> id >> label >> value >> o.container >> subject >> issuer >>
        serialNumber;
    o.id = unhex(id);
    o.label = unhex(label);
    o.value = unhex(value);
    o.subject = unhex(subject);
    o.issuer = unhex(issuer);
    o.serialNumber = unhex(serialNumber);
    objects.push_back(o);
  }
  return objects;
}

void append(const Object& o) {
  std::ofstream out(storePath(currentSlot), std::ios::app);
  out << o.objectClass << ' ' << hex(o.id) << ' ' << hex(o.label) << ' ' << hex(o.value) << ' '
      << (o.container.empty() ? "-" : o.container) << ' ' << hex(o.subject) << ' '
      << hex(o.issuer) << ' ' << hex(o.serialNumber) << '\n';
}

bool hasAttribute(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type == type) return true;
  }
  return false;
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
  if (const auto answer = besideValue(".initialize")) return *answer;
  if (initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (const CK_RV rv = numberSetting("ANKOR_TESTMODULE_INITIALIZE", CKR_OK); rv != CKR_OK) return rv;
  initialized = true;
  return CKR_OK;
}

CK_RV C_Finalize(void*) {
  initialized = false;
  return CKR_OK;
}

// The module's own description, for system info modules.
CK_RV C_GetInfo(CK_INFO* info) {
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {2, 20};
  blankCopy(info->manufacturerID, sizeof info->manufacturerID, "Ankor tests");
  blankCopy(info->libraryDescription, sizeof info->libraryDescription, "Ankor Wine module");
  info->libraryVersion = {1, 0};
  return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
  if (const CK_RV rv = numberSetting("ANKOR_TESTMODULE_SLOTLIST", CKR_OK); rv != CKR_OK) return rv;
  const CK_ULONG tokens = tokenCount();
  if (list != nullptr) {
    if (*count < tokens) {
      *count = tokens;
      return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < tokens; ++i) list[i] = kSlot + i;
  }
  *count = tokens;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
  if (!validSlot(slot)) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  blankCopy(info->slotDescription, sizeof info->slotDescription, "Ankor test slot");
  blankCopy(info->manufacturerID, sizeof info->manufacturerID, "Ankor tests");
  info->flags = CKF_TOKEN_PRESENT;
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  if (!validSlot(slot)) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  blankCopy(info->label, sizeof info->label, slot == kSlot ? "Ankor Wine Token" : "Ankor Wine Token 2");
  blankCopy(info->manufacturerID, sizeof info->manufacturerID, "Ankor tests");
  blankCopy(info->model, sizeof info->model, "Wine module");
  blankCopy(info->serialNumber, sizeof info->serialNumber, "0A1B2C3D");
  info->ulFreePublicMemory = 32768;
  info->ulFreePrivateMemory = 16384;
  info->flags = tokenFlags();
  if (const auto flags = besideValue(".tokenflags")) info->flags |= *flags;
  return CKR_OK;
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
  if (!validSlot(slot)) return CKR_SLOT_ID_INVALID;
  std::vector<CK_MECHANISM_TYPE> mechanisms = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA1_RSA_PKCS,
                                               CKM_SHA256_RSA_PKCS, CKM_SHA512_RSA_PKCS};
  if (!hashingOnly()) mechanisms.insert(mechanisms.begin() + 1, CKM_RSA_PKCS);
  if (list != nullptr) {
    if (*count < mechanisms.size()) {
      *count = mechanisms.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(mechanisms.begin(), mechanisms.end(), list);
  }
  *count = mechanisms.size();
  return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
  if (!validSlot(slot)) return CKR_SLOT_ID_INVALID;
  *session = slot - kSlot + kSession;
  return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE) { return CKR_OK; }

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE, CK_UTF8CHAR* pin, CK_ULONG length) {
  const CK_SLOT_ID slot = slotOf(session);
  const CK_FLAGS flags = tokenFlags();
  const char* wanted = slot == kSlot ? "1234" : "5678";
  CK_RV rv = CKR_OK;
  if (!validSlot(slot)) {
    rv = CKR_SESSION_HANDLE_INVALID;
  } else if (flags & CKF_USER_PIN_LOCKED) {
    rv = CKR_PIN_LOCKED;
  } else if (!(flags & CKF_USER_PIN_INITIALIZED)) {
    rv = CKR_USER_PIN_NOT_INITIALIZED;
  } else if (pin == nullptr) {
    // Only a reader with a PIN pad takes the PIN itself; it "types" the right one.
    rv = (flags & CKF_PROTECTED_AUTHENTICATION_PATH) ? CKR_OK : CKR_PIN_INCORRECT;
  } else if (length != 4 || std::memcmp(pin, wanted, 4) != 0) {
    rv = CKR_PIN_INCORRECT;
  }
  char line[64];
  std::snprintf(line, sizeof line, "slot=%lu pin=%s rv=0x%08lx\n", static_cast<unsigned long>(slot),
                pin == nullptr ? "NULL" : "given", static_cast<unsigned long>(rv));
  std::ofstream(modulePath() + ".logins", std::ios::app) << line;
  if (rv == CKR_OK) loggedIn = true;
  return rv;
}

CK_RV C_Logout(CK_SESSION_HANDLE) {
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  loggedIn = false;
  return CKR_OK;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
  currentSlot = slotOf(session);
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

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle,
                          CK_ATTRIBUTE* attributes, CK_ULONG count) {
  currentSlot = slotOf(session);
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
    } else if (a.type == CKA_SUBJECT && o.objectClass == CKO_CERTIFICATE) {
      one = put(a, o.subject.data(), o.subject.size());
    } else if (a.type == CKA_ISSUER && o.objectClass == CKO_CERTIFICATE) {
      one = put(a, o.issuer.data(), o.issuer.size());
    } else if (a.type == CKA_SERIAL_NUMBER && o.objectClass == CKO_CERTIFICATE) {
      one = put(a, o.serialNumber.data(), o.serialNumber.size());
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

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                        CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                        CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                        CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
  currentSlot = slotOf(session);
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
  const Bytes bitsBytes = attributeBytes(publicTemplate, publicCount, CKA_MODULUS_BITS);
  CK_ULONG bits = 0;
  std::memcpy(&bits, bitsBytes.data(), std::min(sizeof bits, bitsBytes.size()));
  if (bits < 512 || bits > 4096) return CKR_KEY_SIZE_RANGE;

  Object pub;
  pub.id = attributeBytes(publicTemplate, publicCount, CKA_ID);
  pub.label = attributeBytes(publicTemplate, publicCount, CKA_LABEL);
  pub.container = "ankor-test-" + std::to_string(currentSlot) + "-" + hex(pub.id).substr(1);
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

CK_RV C_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                     CK_OBJECT_HANDLE* object) {
  currentSlot = slotOf(session);
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  Object o;
  o.objectClass = CKO_CERTIFICATE;
  o.value = attributeBytes(attributes, count, CKA_VALUE);
  o.id = attributeBytes(attributes, count, CKA_ID);
  o.label = attributeBytes(attributes, count, CKA_LABEL);
  o.subject = attributeBytes(attributes, count, CKA_SUBJECT);
  o.issuer = attributeBytes(attributes, count, CKA_ISSUER);
  o.serialNumber = attributeBytes(attributes, count, CKA_SERIAL_NUMBER);
  if (o.value.empty()) return CKR_TEMPLATE_INCOMPLETE;
  if (setting("ANKOR_TESTMODULE_REQUIRE_SUBJECT") == "1" &&
      !hasAttribute(attributes, count, CKA_SUBJECT)) {
    return CKR_TEMPLATE_INCOMPLETE;
  }
  append(o);
  *object = load().size();
  return CKR_OK;
}

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  currentSlot = slotOf(session);
  const auto objects = load();
  if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
  switch (mechanism->mechanism) {
    case CKM_RSA_PKCS:
      if (hashingOnly()) return CKR_MECHANISM_INVALID;
      break;
    case CKM_SHA1_RSA_PKCS:
    case CKM_SHA256_RSA_PKCS:
    case CKM_SHA512_RSA_PKCS:
      break;
    default:
      return CKR_MECHANISM_INVALID;
  }
  if (key == 0 || key > objects.size() || objects[key - 1].objectClass != CKO_PRIVATE_KEY) {
    return CKR_KEY_HANDLE_INVALID;
  }
  signingContainer = objects[key - 1].container;
  signingMechanism = mechanism->mechanism;
  return CKR_OK;
}

// CKM_RSA_PKCS: signs the digest inside a SHA-1, SHA-256 or SHA-512 DigestInfo;
// CKM_SHA*_RSA_PKCS: hashes the data and signs that digest.
CK_RV C_Sign(CK_SESSION_HANDLE, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
             CK_ULONG* signatureLength) {
  if (signingContainer.empty()) return CKR_OPERATION_NOT_INITIALIZED;
  ALG_ID algorithm;
  std::size_t prefix = 0;
  const bool hashing = signingMechanism != CKM_RSA_PKCS;
  if (signingMechanism == CKM_SHA1_RSA_PKCS) algorithm = CALG_SHA1;
  else if (signingMechanism == CKM_SHA256_RSA_PKCS) algorithm = CALG_SHA_256;
  else if (signingMechanism == CKM_SHA512_RSA_PKCS) algorithm = CALG_SHA_512;
  else if (length == 35) algorithm = CALG_SHA1, prefix = 15;
  else if (length == 51) algorithm = CALG_SHA_256, prefix = 19;
  else if (length == 83) algorithm = CALG_SHA_512, prefix = 19;
  else return CKR_DATA_LEN_RANGE;

  CK_RV rv = CKR_DEVICE_ERROR;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, signingContainer.c_str(), nullptr, PROV_RSA_AES, 0)) return rv;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, algorithm, 0, 0, &hash)) {
    DWORD size = 0;
    const BOOL hashed = hashing ? CryptHashData(hash, data, length, 0)
                                : CryptSetHashParam(hash, HP_HASHVAL, data + prefix, 0);
    if (hashed &&
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
    t.C_GetInfo = C_GetInfo;
    t.C_GetSlotList = C_GetSlotList;
    t.C_GetSlotInfo = C_GetSlotInfo;
    t.C_GetTokenInfo = C_GetTokenInfo;
    t.C_GetMechanismList = C_GetMechanismList;
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
