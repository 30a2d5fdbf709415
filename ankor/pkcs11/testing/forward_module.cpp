// A PKCS#11 module for the tests: it exports the Cryptoki functions that ankor uses,
// forwards each to a real module (ANKOR_FAULT_TARGET, SoftHSM2 by default) and
// injects the faults a test asks for through environment variables:
//   ANKOR_FAULT_<FUNCTION>=rv   the function answers rv without forwarding, for
//                               INITIALIZE, SLOTINFO, TOKENINFO, OPENSESSION, LOGIN,
//                               GENERATE (C_GenerateKeyPair), CREATE (C_CreateObject),
//                               SIGNINIT, SIGN_LENGTH (C_Sign asked for the length) and
//                               SIGN (C_Sign given the buffer); a failing C_Sign leaves
//                               the caller's length as it was
//   ANKOR_FAULT_FREE_PUBLIC=n   C_GetTokenInfo reports n bytes of free public memory
//   ANKOR_FAULT_SERIAL=text     C_GetTokenInfo reports this serial number
//   ANKOR_FAULT_TOKEN_FLAGS=n   C_GetTokenInfo reports these flags besides the token's
//                               own (CKF_USER_PIN_LOCKED 0x40000: a locked token)
//   ANKOR_FAULT_RECORD=file     appends one line per initialisation, finalisation,
//                               login, key generation, object creation and
//                               signature with what the caller sent
//   ANKOR_FAULT_SCOPE=text      faults apply only to copies of this module whose file
//                               name contains text (copies share one real module, so
//                               a second C_Initialize of it counts as success)
// Built a second time with ANKOR_FAULT_LEAN, it lacks C_Login and C_GetSlotInfo.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <p11-kit/pkcs11.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The real module, loaded on first use and kept until the process ends.
void* target() {
  static void* handle = [] {
    const char* path = std::getenv("ANKOR_FAULT_TARGET");
    return dlopen(path != nullptr ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
  }();
  return handle;
}

template <typename Fn>
Fn real(const char* name) {
  void* module = target();
  return module != nullptr ? reinterpret_cast<Fn>(dlsym(module, name)) : nullptr;
}

#define FORWARD(fn, ...)                    \
  do {                                      \
    auto f = real<CK_##fn>(#fn);            \
    return f ? f(__VA_ARGS__) : CKR_GENERAL_ERROR; \
  } while (0)

// True when this copy of the module is the one ANKOR_FAULT_SCOPE names, or no scope is set.
bool inScope() {
  const char* scope = std::getenv("ANKOR_FAULT_SCOPE");
  if (scope == nullptr || *scope == '\0') return true;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&inScope), &info) == 0 || info.dli_fname == nullptr) return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  return std::strstr(slash ? slash + 1 : info.dli_fname, scope) != nullptr;
}

std::optional<unsigned long> setting(const char* name) {
  if (!inScope()) return std::nullopt;
  const char* value = std::getenv((std::string("ANKOR_FAULT_") + name).c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::strtoul(value, nullptr, 0);
}

void record(const std::string& line) {
  const char* path = std::getenv("ANKOR_FAULT_RECORD");
  if (path == nullptr) return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

std::string hex(const void* data, unsigned long size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (unsigned long i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// "type=valuehex" for each attribute, in the order sent.
std::string describe(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  std::string text = std::to_string(count);
  for (CK_ULONG i = 0; i < count; ++i) {
    char type[32];
    std::snprintf(type, sizeof type, " %lx=", attributes[i].type);
    text += type;
    text += attributes[i].pValue ? hex(attributes[i].pValue, attributes[i].ulValueLen) : "null";
  }
  return text;
}

}  // namespace

EXPORT CK_RV C_Initialize(void* args) {
  record("C_Initialize");
  if (auto rv = setting("INITIALIZE")) return *rv;
  auto f = real<CK_C_Initialize>("C_Initialize");
  const CK_RV rv = f ? f(args) : CKR_GENERAL_ERROR;
  return rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? CKR_OK : rv;
}

EXPORT CK_RV C_Finalize(void* reserved) {
  record("C_Finalize");
  FORWARD(C_Finalize, reserved);
}

EXPORT CK_RV C_GetInfo(CK_INFO* info) { FORWARD(C_GetInfo, info); }

EXPORT CK_RV C_GetSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
  FORWARD(C_GetSlotList, present, list, count);
}

#ifndef ANKOR_FAULT_LEAN
EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
  if (auto rv = setting("SLOTINFO")) return *rv;
  FORWARD(C_GetSlotInfo, slot, info);
}
#endif

EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  if (auto rv = setting("TOKENINFO")) return *rv;
  auto f = real<CK_C_GetTokenInfo>("C_GetTokenInfo");
  const CK_RV rv = f ? f(slot, info) : CKR_GENERAL_ERROR;
  if (rv != CKR_OK) return rv;
  if (auto free = setting("FREE_PUBLIC")) info->ulFreePublicMemory = *free;
  if (auto flags = setting("TOKEN_FLAGS")) info->flags |= *flags;
  if (const char* serial = std::getenv("ANKOR_FAULT_SERIAL"); serial != nullptr && inScope()) {
    std::memset(info->serialNumber, ' ', sizeof info->serialNumber);
    std::memcpy(info->serialNumber, serial,
                std::min(std::strlen(serial), sizeof info->serialNumber));
  }
  return rv;
}

EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                           CK_SESSION_HANDLE* session) {
  if (auto rv = setting("OPENSESSION")) return *rv;
  FORWARD(C_OpenSession, slot, flags, application, notify, session);
}

EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE session) { FORWARD(C_CloseSession, session); }

#ifndef ANKOR_FAULT_LEAN
EXPORT CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin,
                     CK_ULONG length) {
  // The PIN's presence and length only; its bytes are never written.
  record("C_Login user=" + std::to_string(user) +
         (pin == nullptr ? " pin=null" : " pinLength=" + std::to_string(length)));
  if (auto rv = setting("LOGIN")) return *rv;
  FORWARD(C_Login, session, user, pin, length);
}
#endif

EXPORT CK_RV C_Logout(CK_SESSION_HANDLE session) { FORWARD(C_Logout, session); }

EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes,
                               CK_ULONG count) {
  FORWARD(C_FindObjectsInit, session, attributes, count);
}

EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                           CK_ULONG* count) {
  FORWARD(C_FindObjects, session, objects, max, count);
}

EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) { FORWARD(C_FindObjectsFinal, session); }

EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE* attributes, CK_ULONG count) {
  FORWARD(C_GetAttributeValue, session, object, attributes, count);
}

EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                               CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                               CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                               CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
  record("C_GenerateKeyPair mechanism=" + std::to_string(mechanism->mechanism) +
         " public=" + describe(publicTemplate, publicCount) +
         " private=" + describe(privateTemplate, privateCount));
  if (auto rv = setting("GENERATE")) return *rv;
  FORWARD(C_GenerateKeyPair, session, mechanism, publicTemplate, publicCount, privateTemplate,
          privateCount, publicKey, privateKey);
}

EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                            CK_OBJECT_HANDLE* object) {
  record("C_CreateObject " + describe(attributes, count));
  if (auto rv = setting("CREATE")) return *rv;
  FORWARD(C_CreateObject, session, attributes, count, object);
}

EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  if (auto rv = setting("SIGNINIT")) return *rv;
  FORWARD(C_SignInit, session, mechanism, key);
}

EXPORT CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
                    CK_ULONG* signatureLength) {
  if (signature != nullptr) record("C_Sign data=" + hex(data, length));
  if (auto rv = setting(signature == nullptr ? "SIGN_LENGTH" : "SIGN")) return *rv;
  FORWARD(C_Sign, session, data, length, signature, signatureLength);
}
