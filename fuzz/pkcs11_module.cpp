// A PKCS#11 module whose every answer comes from the fuzz input (return codes, slot
// counts, slot and token fields, object handles and their number, attribute lengths and
// values, the lengths of the size call and of the fill call, which functions it
// exports), loaded in-process behind the manager's real code and driven through the
// front end by one of the token commands (signList included).
// Oracle: no crash, no read or write outside a buffer, no buffer above the documented
// bounds, every module initialised is finalised and every session closed before the
// envelope is printed, the envelope is JSON, and no signature bytes come back when a
// signing call failed.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/capi/certificate.h"
#include "ankor/capi/digest.h"
#include "ankor/core/encoding.h"
#include "ankor/front/dispatch.h"
#include "ankor/pkcs11/manager.h"
#include "ankor/pkcs11/testing/fake_module.h"
#include "fuzz/fuzz_support.h"

namespace {

using nlohmann::json;

// The run's module: its answers and what it saw.
struct Script {
  fuzz::Input answers{nullptr, 0};
  std::string serial;             // the serial word of the command, for tokens that match it
  std::string certificate;        // the value of certificate objects
  std::uint8_t exports = 0;       // which functions the library exports by name
  int initialised = 0;            // C_Initialize calls that succeeded
  int finalised = 0;
  int sessionsOpened = 0;         // non-zero handles delivered by C_OpenSession
  int sessionsClosed = 0;
  bool signFailed = false;        // C_SignInit or a C_Sign answered an error
  CK_ULONG largestBuffer = 0;     // the largest value buffer ankor offered
};
Script* script = nullptr;

volatile std::uint8_t sink;
// Reads every byte of a buffer ankor hands over, so that a short one is reported.
void touch(const void* data, CK_ULONG size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint8_t sum = 0;
  for (CK_ULONG i = 0; i < size; ++i) sum ^= bytes[i];
  sink = sum;
}
void touchTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  if (count > 0) touch(attributes, count * sizeof(CK_ATTRIBUTE));
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].pValue != nullptr) touch(attributes[i].pValue, attributes[i].ulValueLen);
  }
}

CK_RV answer() {
  static constexpr CK_RV kFailures[] = {
      CKR_GENERAL_ERROR,        CKR_FUNCTION_FAILED,  CKR_BUFFER_TOO_SMALL,
      CKR_DEVICE_ERROR,         CKR_DEVICE_MEMORY,    CKR_DEVICE_REMOVED,
      CKR_PIN_INCORRECT,        CKR_PIN_LOCKED,       CKR_ARGUMENTS_BAD,
      CKR_ATTRIBUTE_TYPE_INVALID, CKR_CRYPTOKI_ALREADY_INITIALIZED,
      CKR_SESSION_HANDLE_INVALID, CKR_FUNCTION_NOT_SUPPORTED, CKR_TOKEN_NOT_PRESENT,
      CKR_KEY_HANDLE_INVALID,   0x80000001UL};
  const std::uint8_t b = script->answers.byte();
  if (b < 0xF0) return CKR_OK;
  return kFailures[b - 0xF0];
}

// A count or length: mostly small, sometimes one of the figures a faulty module gives.
CK_ULONG length(CK_ULONG small) {
  const std::uint8_t b = script->answers.byte();
  switch (b) {
    case 0xF0: return CK_UNAVAILABLE_INFORMATION;
    case 0xF1: return kMaxValueLength;
    case 0xF2: return kMaxValueLength + 1;
    case 0xF3: return kMaxSlotCount;
    case 0xF4: return kMaxSlotCount + 1;
    case 0xF5: return 0xFFFFFFFFUL;
    case 0xF6: return 0x100000000UL;
    case 0xF7: return script->answers.u32();
    default: return small == 0 ? 0 : b % (small + 1);
  }
}

// Fills a blank-padded field: padded text, bytes of the input, no blank at all, zeros.
void fillField(CK_UTF8CHAR* field, std::size_t size, const std::string* text = nullptr) {
  const std::uint8_t mode = script->answers.byte();
  std::memset(field, ' ', size);
  switch (mode & 3) {
    case 0: {
      const std::string value = text != nullptr ? *text : std::string("Fuzz Token");
      std::memcpy(field, value.data(), std::min(size, value.size()));
      break;
    }
    case 1: {
      const std::string value = script->answers.take(mode >> 2);
      std::memcpy(field, value.data(), std::min(size, value.size()));
      break;
    }
    case 2: std::memset(field, 'X', size); break;
    case 3: std::memset(field, 0, size); break;
  }
}

// The value of an attribute as the module holds it.
std::string attributeValue(CK_ATTRIBUTE_TYPE type) {
  const std::uint8_t mode = script->answers.byte();
  if (type == CKA_CLASS) {
    static constexpr CK_OBJECT_CLASS kClasses[] = {CKO_CERTIFICATE, CKO_PUBLIC_KEY,
                                                   CKO_PRIVATE_KEY, CKO_DATA};
    const CK_OBJECT_CLASS value = kClasses[mode & 3];
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
  }
  if (type == CKA_VALUE && (mode & 1) == 0) return script->certificate;
  return script->answers.take(mode >> 1);
}

// The module, every function answering from the script.
class FuzzModule final : public ankor::pkcs11::fakes::FakeModule {
 public:
  CK_RV initialize(void*) override {
    const CK_RV rv = answer();
    if (rv == CKR_OK) ++script->initialised;
    return rv;
  }
  CK_RV finalize(void*) override {
    ++script->finalised;
    return answer();
  }
  CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) override {
    const CK_RV rv = answer();
    const CK_ULONG n = length(3);
    if (list != nullptr) {
      const CK_ULONG room = *count;
      for (CK_ULONG i = 0; i < std::min(room, n); ++i) list[i] = script->answers.byte();
    }
    *count = n;
    return rv;
  }
  CK_RV getSlotInfo(CK_SLOT_ID, CK_SLOT_INFO* info) override {
    const CK_RV rv = answer();
    fillField(info->manufacturerID, sizeof info->manufacturerID);
    fillField(info->slotDescription, sizeof info->slotDescription);
    info->flags = CKF_TOKEN_PRESENT;
    return rv;
  }
  CK_RV getTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO* info) override {
    const CK_RV rv = answer();
    fillField(info->label, sizeof info->label);
    fillField(info->manufacturerID, sizeof info->manufacturerID);
    fillField(info->model, sizeof info->model);
    fillField(info->serialNumber, sizeof info->serialNumber, &script->serial);
    info->ulFreePublicMemory = length(0) == 0 ? 32768 : script->answers.u64();
    info->ulFreePrivateMemory = length(0) == 0 ? 32768 : CK_UNAVAILABLE_INFORMATION;
    // The login's state: a user PIN set, with or without a PIN pad, locked, or never set.
    static constexpr CK_FLAGS kStates[] = {
        CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED,
        CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_PROTECTED_AUTHENTICATION_PATH,
        CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_USER_PIN_LOCKED, CKF_LOGIN_REQUIRED};
    info->flags = kStates[script->answers.byte() % 4];
    return rv;
  }
  CK_RV openSession(CK_SLOT_ID, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) override {
    const CK_RV rv = answer();
    *session = script->answers.byte() % 4;
    if (*session != 0) ++script->sessionsOpened;
    return rv;
  }
  CK_RV closeSession(CK_SESSION_HANDLE) override {
    ++script->sessionsClosed;
    return answer();
  }
  CK_RV login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR* pin, CK_ULONG pinLength) override {
    if (pin != nullptr) touch(pin, pinLength);
    return answer();
  }
  CK_RV logout(CK_SESSION_HANDLE) override { return answer(); }
  CK_RV findObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count) override {
    touchTemplate(attributes, count);
    return answer();
  }
  CK_RV findObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* objects, CK_ULONG room,
                    CK_ULONG* found) override {
    const CK_RV rv = answer();
    const CK_ULONG n = length(2);
    for (CK_ULONG i = 0; i < std::min(room, n); ++i) objects[i] = script->answers.byte() % 8;
    *found = n;
    return rv;
  }
  CK_RV findObjectsFinal(CK_SESSION_HANDLE) override { return answer(); }
  CK_RV getAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE* attributes,
                          CK_ULONG count) override {
    const CK_RV rv = answer();
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_ATTRIBUTE& attribute = attributes[i];
      const std::string value = attributeValue(attribute.type);
      // The length reported: the value's own, or a figure of the input.
      const CK_ULONG reported = (script->answers.byte() & 1) ? length(64) : value.size();
      if (attribute.pValue != nullptr) {
        script->largestBuffer = std::max(script->largestBuffer, attribute.ulValueLen);
        const CK_ULONG room = attribute.ulValueLen;
        std::memcpy(attribute.pValue, value.data(), std::min<CK_ULONG>(room, value.size()));
      }
      attribute.ulValueLen = reported;
    }
    return rv;
  }
  CK_RV signInit(CK_SESSION_HANDLE, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE) override {
    touch(mechanism, sizeof *mechanism);
    const CK_RV rv = answer();
    if (rv != CKR_OK) script->signFailed = true;
    return rv;
  }
  CK_RV sign(CK_SESSION_HANDLE, CK_BYTE* data, CK_ULONG dataLength, CK_BYTE* signature,
             CK_ULONG* signatureLength) override {
    touch(data, dataLength);
    const CK_RV rv = answer();
    if (rv != CKR_OK) script->signFailed = true;
    const CK_ULONG reported = length(64);
    if (signature != nullptr) {
      script->largestBuffer = std::max(script->largestBuffer, *signatureLength);
      std::memset(signature, 0x5A, std::min(*signatureLength, reported));
    }
    *signatureLength = reported;
    return rv;
  }
  CK_RV generateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM* mechanism, CK_ATTRIBUTE* publicTemplate,
                        CK_ULONG publicCount, CK_ATTRIBUTE* privateTemplate,
                        CK_ULONG privateCount, CK_OBJECT_HANDLE* publicKey,
                        CK_OBJECT_HANDLE* privateKey) override {
    touch(mechanism, sizeof *mechanism);
    touchTemplate(publicTemplate, publicCount);
    touchTemplate(privateTemplate, privateCount);
    *publicKey = 1;
    *privateKey = 2;
    return answer();
  }
  CK_RV createObject(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count,
                     CK_OBJECT_HANDLE* object) override {
    touchTemplate(attributes, count);
    *object = 3;
    return answer();
  }
  // Fails (from the input) only for a module that exports nothing else, so that every
  // module that can be initialised can also be finalised.
  CK_RV getFunctionList(CK_FUNCTION_LIST** list) override {
    const CK_RV rv = FakeModule::getFunctionList(list);
    return script->exports == 1 ? answer() : rv;
  }
};

// What the loaded library exports by name. exports: 0 every function; 1 only
// C_GetFunctionList; 2 every function but the one the input names (C_GetFunctionList
// has it); 3 none.
std::set<std::string> hiddenNames(std::uint8_t exports, std::size_t missing) {
  const auto& names = FuzzModule::functionNames();  // C_GetFunctionList last
  switch (exports) {
    case 1: return {names.begin(), names.end() - 1};
    case 2: return {names[missing]};
    case 3: return {names.begin(), names.end()};
    default: return {};
  }
}

class TokenComponents final : public ankor::Components {
 public:
  explicit TokenComponents(ankor::pkcs11::Loader& loader) : loader_(loader) {}
  ankor::KeyStore& keyStore() override { std::abort(); }
  ankor::Signer& signer() override { std::abort(); }
  ankor::TokenManager& tokenManager(const std::string& typeCode) override {
    if (!manager_) {
      const std::vector<ankor::pkcs11::ModuleRow> table = {
          {"GD", "/fuzz/gd.so", "/fuzz/second/gd.so"}, {"ET", "/fuzz/et.so", "/fuzz/second/et.so"}};
      manager_ = std::make_unique<ankor::pkcs11::P11Manager>(
          typeCode, table, loader_, ankor::capi::systemDigester(),
          &ankor::capi::systemCertificateDecoder());
    }
    return *manager_;
  }
  void releaseTokenManager() override { manager_.reset(); }
  // A PIN word "-" reads the PIN from here.
  std::string readStandardInput(std::size_t maxBytes) override {
    return std::string("4321\n").substr(0, maxBytes);
  }
  const ankor::CertificateDecoder& certificateDecoder() override {
    return ankor::capi::systemCertificateDecoder();
  }
  ankor::ModuleInspector& moduleInspector() override { std::abort(); }

 private:
  ankor::pkcs11::Loader& loader_;
  std::unique_ptr<ankor::pkcs11::P11Manager> manager_;
};

std::string hexSha1(const std::string& value) {
  const auto digest = ankor::computeSha1(reinterpret_cast<const std::uint8_t*>(value.data()),
                                               value.size());
  return digest ? ankor::hexEncode(*digest) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  Script run;
  script = &run;
  const std::uint8_t command = input.byte();
  const std::uint8_t options = input.byte();
  run.exports = options & 3;
  // Every file exists, but with failure 1; with failure 2 no library loads.
  const std::uint8_t failure = (options >> 2) & 3;
  FuzzModule module;
  ankor::pkcs11::fakes::FakeLoader loader;
  loader.moduleAt = [&module](const std::string&) -> ankor::pkcs11::fakes::FakeModule& {
    return module;
  };
  // The functions but C_GetFunctionList, one of which mode 2 hides.
  const std::size_t functions = FuzzModule::functionNames().size() - 1;
  loader.missing = hiddenNames(run.exports, input.byte() % functions);
  const std::string typeCode = (options & 0x10) ? "ND" : (options & 0x20) ? "ET" : "GD";
  static const char* const kHashes[] = {"sha1", "sha256", "sha512", "md5"};
  const std::string hash = kHashes[(options >> 6) & 3];
  run.serial = input.until('\0');
  const std::string pin = input.until('\0');
  const std::string keyId = input.until('\0');
  const std::string dataWord = input.until('\0');
  run.certificate = input.take(input.byte());
  const std::string thumbprint = (command & 0x80) ? input.until('\0') : hexSha1(run.certificate);
  const std::string isDigest = (command & 0x40) ? "true" : "false";
  run.answers = fuzz::Input(data + (size - input.remaining()), input.remaining());
  for (const char* path : {"/fuzz/gd.so", "/fuzz/second/gd.so", "/fuzz/et.so", "/fuzz/second/et.so"}) {
    if (failure != 1) loader.present.insert(path);
    if (failure == 2) loader.unloadable.insert(path);
  }

  std::vector<std::string> words;
  switch (command & 7) {
    case 0: words = {"pkcs11", "list", "tokens", typeCode}; break;
    case 1: words = {"pkcs11", "list", "certificates", typeCode}; break;
    case 2: words = {"pkcs11", "list", "objects", typeCode, run.serial, pin}; break;
    case 3:
      if (command & 0x08) {
        // The list: the data word as the JSON text, Base64-encoded here.
        words = {"pkcs11", "crypt", "signList", typeCode, thumbprint, hash, pin,
                 ankor::base64Encode(reinterpret_cast<const std::uint8_t*>(dataWord.data()),
                                     dataWord.size())};
      } else {
        words = {"pkcs11", "crypt", "sign", typeCode, thumbprint, hash, pin, dataWord, isDigest};
      }
      break;
    case 4:
      words = {"pkcs11", "crypt", "signWithKeyId", typeCode, run.serial, keyId, hash, pin, isDigest, dataWord};
      break;
    case 5: words = {"pkcs11", "repo", "getPublicKey", typeCode, run.serial, keyId}; break;
    case 6: words = {"pkcs11", "repo", "createKeyPair", typeCode, run.serial, "label", "2048", pin}; break;
    case 7:
      words = {"pkcs11", "repo", "importCertificate", typeCode, run.serial, keyId, "label", pin, dataWord};
      break;
  }

  std::optional<json> envelope;
  {
    TokenComponents components(loader);
    try {
      envelope = ankor::dispatch(words, components);
    } catch (...) {
      FUZZ_CHECK(false, "a failure escaped the front end");
    }
    // What the program does after the envelope is made, before it is printed.
    components.releaseTokenManager();
  }
  FUZZ_CHECK(run.finalised >= run.initialised, "%d modules initialised, %d finalised",
             run.initialised, run.finalised);
  FUZZ_CHECK(run.sessionsClosed >= run.sessionsOpened, "%d sessions opened, %d closed",
             run.sessionsOpened, run.sessionsClosed);
  FUZZ_CHECK(run.largestBuffer <= kMaxValueLength + 1, "a buffer of %lu bytes",
             run.largestBuffer);
  FUZZ_CHECK(envelope.has_value());
  const std::string printed = ankor::renderEnvelope(*envelope);
  const json parsed = json::parse(printed, nullptr, false);
  FUZZ_CHECK(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 1 &&
                 (parsed.contains("success") || parsed.contains("error")),
             "%s", printed.c_str());
  if (run.signFailed && parsed.contains("success")) {
    // No signature: the empty text, or (signList) no item with one.
    const json& success = parsed["success"];
    if (success.is_array()) {
      for (const json& item : success) {
        FUZZ_CHECK(!item.is_object() || !item.contains("signed") || item["signed"] == "",
                   "a failed signing call gave %s", printed.c_str());
      }
    } else {
      FUZZ_CHECK(success == "", "a failed signing call gave %s", printed.c_str());
    }
  }
  script = nullptr;
  return 0;
}
