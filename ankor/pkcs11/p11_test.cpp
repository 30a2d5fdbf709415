// The P11 logic against recording fakes: a fake loader and in-process fake modules
// whose Cryptoki functions record their calls and answer from a small object table.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ankor/core/digest.h"
#include "ankor/pkcs11/batch.h"
#include "ankor/pkcs11/digest_info.h"
#include "ankor/pkcs11/error.h"
#include "ankor/pkcs11/label.h"
#include "ankor/pkcs11/loader_platform.h"
#include "ankor/pkcs11/manager.h"
#include "ankor/pkcs11/testing/fake_module.h"
#include "common/testing/base64.h"
#include "common/testing/temp_dir.h"

namespace ankor::pkcs11 {
namespace {

struct FakeObject {
  CK_OBJECT_CLASS objectClass;
  std::string id, label, value;
};

// The state of one fake module; the functions of module N use modules[N].
struct FakeModuleState {
  CK_RV initialize = CKR_OK;
  std::vector<CK_SLOT_ID> slots = {1};
  CK_ULONG slotsOnSecondCall = 99;  // 99: as many as the first call
  std::map<CK_SLOT_ID, std::string> serials = {{1, "00AA11"}};
  CK_SESSION_HANDLE sessionHandle = 5;
  CK_ULONG signatureLength = 4;
  CK_ULONG announcedSlots = 0;   // slot count of the length query; 0: the true one
  CK_ULONG announcedLength = 0;  // attribute length of the length query; 0: the true one
  bool endlessSearch = false;    // C_FindObjects delivers the first match forever
  CK_RV signInit = CKR_OK;       // C_SignInit's answer
  CK_RV signLength = CKR_OK;     // the answer of C_Sign asking for the length
  CK_RV sign = CKR_OK;           // the answer of C_Sign signing
  std::vector<FakeObject> objects;
  std::vector<CK_OBJECT_HANDLE> search;
  // The login's side: the token's flags, C_GetTokenInfo's and C_Login's answers, and the
  // PINs C_Login was given ("NULL" for none).
  CK_FLAGS tokenFlags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
  CK_RV tokenInfo = CKR_OK;
  CK_RV login = CKR_OK;
  std::vector<std::string> pins;
  CK_RV slotList = CKR_OK;       // the answer of the first C_GetSlotList
  // C_GetMechanismList's mechanisms; empty: it answers CKR_FUNCTION_FAILED.
  std::vector<CK_MECHANISM_TYPE> mechanisms;
  // What the signing calls and C_CreateObject were given.
  std::vector<CK_MECHANISM_TYPE> signMechanisms;
  std::vector<std::string> signInputs;
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, std::string>> created;
};
std::array<FakeModuleState, 7> modules;
std::vector<std::string> calls;  // "N:C_Function" in call order

// The functions the scripted modules have; every other one is in neither their
// exports nor their table.
const std::set<std::string, std::less<>> kScriptedFunctions = {
    "C_Initialize",      "C_Finalize",      "C_GetSlotList",      "C_GetTokenInfo",
    "C_OpenSession",     "C_CloseSession",  "C_Login",            "C_Logout",
    "C_FindObjectsInit", "C_FindObjects",   "C_FindObjectsFinal", "C_GetAttributeValue",
    "C_SignInit",        "C_Sign",          "C_GetMechanismList", "C_CreateObject"};

// Module N of the table: records its calls and answers from modules[N].
class ScriptedModule final : public fakes::FakeModule {
 public:
  ScriptedModule(int n) : n_(n) {}  // NOLINT: the modules are an array of indices
  std::set<std::string> notInTable;  // functions its C_GetFunctionList table lacks

  CK_RV initialize(void*) override { note("C_Initialize"); return state().initialize; }
  CK_RV finalize(void*) override { note("C_Finalize"); return CKR_OK; }
  CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) override {
    auto& m = state();
    if (list == nullptr) {
      if (m.slotList != CKR_OK) return m.slotList;
      *count = m.announcedSlots != 0 ? m.announcedSlots : m.slots.size();
      return CKR_OK;
    }
    const CK_ULONG n = std::min<CK_ULONG>(m.slotsOnSecondCall, m.slots.size());
    std::copy(m.slots.begin(), m.slots.begin() + n, list);
    *count = n;
    return CKR_OK;
  }
  CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) override {
    std::memset(info, ' ', sizeof *info);
    const std::string serial = state().serials[slot];
    std::memcpy(info->serialNumber, serial.data(), std::min(serial.size(), sizeof info->serialNumber));
    info->ulFreePublicMemory = 100000;
    info->flags = state().tokenFlags;
    return state().tokenInfo;
  }
  CK_RV getMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE* list, CK_ULONG* count) override {
    const auto& m = state().mechanisms;
    if (m.empty()) return CKR_FUNCTION_FAILED;
    if (list != nullptr) std::copy(m.begin(), m.begin() + std::min<CK_ULONG>(*count, m.size()), list);
    *count = m.size();
    return CKR_OK;
  }
  CK_RV createObject(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count, CK_OBJECT_HANDLE* object) override {
    note("C_CreateObject");
    for (CK_ULONG a = 0; a < count; ++a) {
      const auto* p = static_cast<const char*>(attributes[a].pValue);
      state().created.emplace_back(attributes[a].type, std::string(p, attributes[a].ulValueLen));
    }
    *object = 99;
    return CKR_OK;
  }
  CK_RV openSession(CK_SLOT_ID, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) override {
    note(flags == (CKF_SERIAL_SESSION | CKF_RW_SESSION) ? "C_OpenSession rw" : "C_OpenSession ro");
    *session = state().sessionHandle;
    return CKR_OK;
  }
  CK_RV closeSession(CK_SESSION_HANDLE) override { note("C_CloseSession"); return CKR_OK; }
  CK_RV login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR* pin, CK_ULONG length) override {
    note("C_Login");
    state().pins.push_back(pin == nullptr ? "NULL" : std::string(reinterpret_cast<char*>(pin), length));
    return state().login;
  }
  CK_RV logout(CK_SESSION_HANDLE) override { note("C_Logout"); return CKR_USER_NOT_LOGGED_IN; }
  CK_RV findObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count) override {
    auto& m = state();
    m.search.clear();
    for (std::size_t i = 0; i < m.objects.size(); ++i) {
      bool match = true;
      for (CK_ULONG a = 0; a < count; ++a) {
        const auto* p = static_cast<const char*>(attributes[a].pValue);
        if (attributes[a].type == CKA_CLASS) {
          CK_OBJECT_CLASS c;
          std::memcpy(&c, p, sizeof c);
          match = match && c == m.objects[i].objectClass;
        } else if (attributes[a].type == CKA_ID) {
          match = match && std::string(p, attributes[a].ulValueLen) == m.objects[i].id;
        }
      }
      if (match) m.search.push_back(i + 1);
    }
    std::reverse(m.search.begin(), m.search.end());
    return CKR_OK;
  }
  CK_RV findObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* found, CK_ULONG, CK_ULONG* count) override {
    auto& m = state();
    *count = 0;
    if (!m.search.empty()) {
      *found = m.search.back();
      if (!m.endlessSearch) m.search.pop_back();
      *count = 1;
    }
    return CKR_OK;
  }
  CK_RV findObjectsFinal(CK_SESSION_HANDLE) override { return CKR_OK; }
  CK_RV getAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* a, CK_ULONG) override {
    const FakeObject& o = state().objects.at(object - 1);
    std::string value;
    if (a->type == CKA_CLASS) value.assign(reinterpret_cast<const char*>(&o.objectClass), sizeof o.objectClass);
    else if (a->type == CKA_ID) value = o.id;
    else if (a->type == CKA_LABEL) value = o.label;
    else if (a->type == CKA_VALUE || a->type == CKA_MODULUS) value = o.value;
    if (a->pValue != nullptr) std::memcpy(a->pValue, value.data(), std::min<std::size_t>(value.size(), a->ulValueLen));
    a->ulValueLen = value.size();
    if (a->pValue == nullptr && state().announcedLength != 0) a->ulValueLen = state().announcedLength;
    return CKR_OK;
  }
  CK_RV signInit(CK_SESSION_HANDLE, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) override {
    note(("C_SignInit " + state().objects.at(key - 1).label).c_str());
    state().signMechanisms.push_back(mechanism->mechanism);
    return state().signInit;
  }
  // A failing call leaves the caller's length as it was, as SoftHSM2 does.
  CK_RV sign(CK_SESSION_HANDLE, CK_BYTE* data, CK_ULONG dataLength, CK_BYTE* signature, CK_ULONG* length) override {
    if (signature != nullptr) state().signInputs.emplace_back(reinterpret_cast<char*>(data), dataLength);
    const auto& m = state();
    if (signature == nullptr && m.signLength != CKR_OK) return m.signLength;
    if (signature != nullptr && m.sign != CKR_OK) return m.sign;
    if (signature != nullptr) std::memset(signature, 0xAB, std::min<CK_ULONG>(*length, m.signatureLength));
    *length = m.signatureLength;
    return CKR_OK;
  }
  CK_RV getFunctionList(CK_FUNCTION_LIST** list) override {
    note("C_GetFunctionList");
    return FakeModule::getFunctionList(list);
  }
  bool exports(std::string_view name) const override {
    return name == "C_GetFunctionList" || kScriptedFunctions.count(name) > 0;
  }
  bool inTable(std::string_view name) const override {
    return kScriptedFunctions.count(name) > 0 && notInTable.count(std::string(name)) == 0;
  }
  void unloaded() override { calls.push_back(std::to_string(n_) + ":unload"); }

 private:
  FakeModuleState& state() const { return modules[n_]; }
  void note(const char* function) const { calls.push_back(std::to_string(n_) + ":" + function); }
  int n_;
};
ScriptedModule scripted[7] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}};

// Files "present" exist; "load" of a path gives the fake module of its table index,
// without the functions listed in "missing". With "table" set the module also exports
// C_GetFunctionList, whose table holds all its functions but those in "notInTable".
class FakeLoader final : public fakes::FakeLoader {
 public:
  bool table = false;
  std::set<std::string> notInTable;

  FakeLoader() {
    moduleAt = [this](const std::string& path) -> fakes::FakeModule& {
      ScriptedModule& module = scripted[path.back() - '0'];
      module.notInTable = notInTable;
      return module;
    };
  }

 private:
  std::set<std::string> hiddenAt(const std::string&) override {
    std::set<std::string> hidden = missing;
    if (!table) hidden.insert("C_GetFunctionList");
    return hidden;
  }
};

// The digests the program would hand over, for the inputs whose digests the tests
// quote: the standard values. Any other input gets distinct bytes of the algorithm's
// length, which is all the comparisons between a listing and a search need. With
// "fail" set nothing can be computed.
class FakeDigester final : public Digester {
 public:
  bool fail = false;
  std::optional<Bytes> digest(DigestAlgorithm algorithm, const std::uint8_t* data,
                              std::size_t size) const override {
    if (fail) return std::nullopt;
    const std::string input(reinterpret_cast<const char*>(data), size);
    static const std::map<std::pair<DigestAlgorithm, std::string>, std::string> kKnown = {
        {{DigestAlgorithm::Sha1, ""}, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {{DigestAlgorithm::Sha1, "DER"}, "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967"},
        {{DigestAlgorithm::Sha256, "hello"},
         "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}};
    if (const auto known = kKnown.find({algorithm, input}); known != kKnown.end()) {
      return hexDecode(known->second);
    }
    Bytes made(digestLength(algorithm), static_cast<std::uint8_t>(size));
    for (std::size_t i = 0; i < size; ++i) made[i % made.size()] ^= data[i] + static_cast<std::uint8_t>(i);
    return made;
  }
};
FakeDigester digester;

const std::vector<ModuleRow> kTable = {
    {"GD", "/m/0", "/s/0"}, {"ET", "/m/1", "/s/1"}, {"AT", "/m/2", "/s/2"}, {"BR", "/m/3", "/s/3"},
    {"OB", "/m/4", "/s/4"}, {"EP", "/m/5", "/s/5"}, {"DX", "/m/6", "/s/6"}};

class P11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    modules = {};
    digester.fail = false;
    calls.clear();
    for (const auto& row : kTable) loader.present.insert(row.firstLocation);
  }
  std::string errorOf(const std::string& code) {
    try {
      P11Manager manager(code, kTable, loader, digester);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  FakeLoader loader;
};

// ND takes the rows in table order and stops at the first missing file; the second
// location is never looked at.
TEST_F(P11Test, NdStopsAtTheFirstMissingFirstLocation) {
  loader.present.erase("/m/2");
  loader.present.insert("/s/2");
  EXPECT_EQ(errorOf("ND"), "Erro ao inicializar biblioteca fileExists");
  EXPECT_EQ(loader.asked, (std::vector<std::string>{"exists /m/0", "load /m/0", "exists /m/1",
                                                     "load /m/1", "exists /m/2"}));
  // The modules loaded before the failure are finalised and unloaded, in order.
  EXPECT_EQ(calls, (std::vector<std::string>{"0:C_Initialize", "1:C_Initialize", "0:C_Finalize",
                                             "0:unload", "1:C_Finalize", "1:unload"}));
}

TEST_F(P11Test, LoadFailureAndCodeSelection) {
  loader.unloadable.insert("/m/1");
  EXPECT_EQ(errorOf("ET"), "Erro ao inicializar biblioteca LoadLibrary");
  for (const char* code : {"XX", "gd", "", "GDX"}) {
    P11Manager manager(code, kTable, loader, digester);
    EXPECT_EQ(manager.storeCount(), 0u) << code;
  }
  EXPECT_TRUE(std::none_of(loader.asked.begin(), loader.asked.end(),
                           [](const std::string& a) { return a.find("/m/0") != std::string::npos; }));
}

// A library that does not load keeps the system's reason beside the host's text, on
// the failure and on the module.
TEST_F(P11Test, LoadFailureKeepsTheSystemReason) {
  loader.unloadable.insert("/m/1");
  try {
    P11Manager manager("ET", kTable, loader, digester);
    ADD_FAILURE() << "no load failure";
  } catch (const LoadFailure& e) {
    EXPECT_STREQ(e.what(), "Erro ao inicializar biblioteca LoadLibrary");
    EXPECT_EQ(e.systemText(), "no library at /m/1");
  }
  P11Module module(kTable[1]);
  EXPECT_THROW(module.load(loader), LoadFailure);
  EXPECT_EQ(module.loadError(), "no library at /m/1");
  P11Module loadable(kTable[0]);
  loadable.load(loader);
  EXPECT_TRUE(loadable.loaded());
  EXPECT_EQ(loadable.loadError(), "");
}

// The system's loader itself: a file that is not a library is refused, and the reason
// names the call that decided, the file and the system's code of that call.
TEST(PlatformLoader, NotALibraryKeepsTheSystemReason) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "ankor_p11_not_a_library.dll";
  std::ofstream(file) << "not a library";
  std::string error;
  void* library = platform::openLibrary(file.string(), error);
  std::filesystem::remove(file);
  ASSERT_EQ(library, nullptr);
#ifdef _WIN32
  EXPECT_EQ(error.rfind("LoadLibraryExA " + file.string() + ": error 193: ", 0), 0u) << error;
#else
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
#endif
}

// The platform's loader gives no library for a file that is not one, and says why in
// the system's words, naming the file.
TEST(SystemLoader, RefusalKeepsTheSystemText) {
  const tarvo::testing::TempDir dir("ankor-p11");
  const std::string path = dir.file("ankor-p11-not-a-library.so");
  { std::ofstream(path) << "not a library"; }
  const LoadResult result = systemLoader().load(path);
  EXPECT_EQ(result.library, nullptr);
  EXPECT_NE(result.error.find("ankor-p11-not-a-library.so"), std::string::npos) << result.error;
}

// Every answer of a module reaches its caller through checkReturn, named: the function
// and the code, ok only for CKR_OK.
TEST(P11Tables, CallResults) {
  EXPECT_TRUE(checkReturn("C_Login", CKR_OK).ok());
  const CallResult failed = checkReturn("C_GetTokenInfo", CKR_DEVICE_REMOVED);
  EXPECT_FALSE(failed.ok());
  EXPECT_STREQ(failed.function, "C_GetTokenInfo");
  EXPECT_EQ(failed.text(), "C_GetTokenInfo, rv: 50");
}

// Without a digest nothing is listed or signed from data: the thumbprint, the data's
// digest and a list element's digest fail with the hash text.
TEST_F(P11Test, NoDigestNoThumbprintNoSignature) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}, {CKO_CERTIFICATE, "key", "c", "DER"}};
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  digester.fail = true;
  auto failure = [](auto&& run) -> std::string {
    try {
      run();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no failure";
  };
  EXPECT_EQ(failure([&] { manager.listCertificates(); }), "Erro ao calcular o hash dos dados");
  EXPECT_EQ(failure([&] { store->signWithKeyId("YWJj", "key", "1234", "sha1", false); }),
            "Erro ao calcular o hash dos dados");
  EXPECT_EQ(failure([&] {
              (void)readBatch(nlohmann::json::parse(R"([{"value":"eA==","hashedData":false,"id":1}])"),
                              "sha1", digester);
            }),
            "Elemento 1 (id 1): Erro ao calcular o hash dos dados");
}

// A failed C_Initialize: C_Finalize, unload, no slots; the next module goes on.
// CKR_CRYPTOKI_ALREADY_INITIALIZED is released without C_Finalize.
TEST_F(P11Test, FailedInitialisationDropsOnlyThatModule) {
  modules[0].initialize = CKR_DEVICE_ERROR;
  modules[1].initialize = CKR_CRYPTOKI_ALREADY_INITIALIZED;
  {
    P11Manager manager("ND", kTable, loader, digester);
    EXPECT_EQ(manager.storeCount(), 5u);
    const Records tokens = manager.listTokens();
    EXPECT_EQ(tokens.front()["type"], "AT");
  }
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Finalize"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "1:C_Finalize"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "2:C_Finalize"), 1);
}

// Only slots with a non-empty hexadecimal serial become stores; the second slot
// list call may shrink the list.
TEST_F(P11Test, SlotSelection) {
  modules[0].slots = {1, 2, 3, 4, 5, 12};
  modules[0].serials = {{1, "0A1B2C3D"}, {2, "SN-12"}, {3, ""}, {4, "abcdef09"}, {5, "0x12"}, {12, "FF"}};
  modules[0].slotsOnSecondCall = 5;
  P11Manager manager("GD", kTable, loader, digester);
  const Records tokens = manager.listTokens();
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0]["slotId"], "1");
  EXPECT_EQ(tokens[1]["serial"], "abcdef09");
  EXPECT_EQ(manager.findStore("GD", "ABCDEF09"), nullptr);
  EXPECT_NE(manager.findStore("GD", "abcdef09"), nullptr);
  EXPECT_EQ(manager.findStore("ND", "abcdef09"), nullptr);
}

// A module lacking a function: that step fails as if called, nothing crashes.
TEST_F(P11Test, MissingFunctionsFailTheirStep) {
  loader.missing = {"C_GetSlotInfo", "C_Login", "C_Sign", "C_GenerateKeyPair"};
  P11Manager manager("GD", kTable, loader, digester);
  const Records tokens = manager.listTokens();
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0]["manufacturerId"],
            "[ERROR] P11Store.getManufacturerId - C_GetSlotInfo, rv: 84");
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  EXPECT_THROW(
      {
        try {
          store->createKeyPair("K", "1234", 2048);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Erro no Login - Erro Generico");
          throw;
        }
      },
      std::runtime_error);

  // No slot list and so no token: the failed call is the answer.
  loader.missing = {"C_GetSlotList"};
  EXPECT_EQ(errorOf("GD"), "Erro ao inicializar biblioteca GD: C_GetSlotList 0x00000054");
}

// No session handle: a read-write session fails before the login, a read-only one
// goes on and fails at its close; both with the bare failure.
TEST_F(P11Test, NoSessionHandle) {
  modules[0].sessionHandle = 0;
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  EXPECT_THROW(store->listObjects("1234"), NoSessionOpen);
  EXPECT_THROW(manager.listCertificates(), NoSessionOpen);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Login"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Logout"), 0);
}

// Objects listing: one record per private key; flags from the objects sharing its
// id; the label of the last such object; other classes ignored.
TEST_F(P11Test, ObjectsListing) {
  modules[0].objects = {
      {CKO_PRIVATE_KEY, "id-1", "private one", ""},
      {CKO_PUBLIC_KEY, "id-1", "public one", ""},
      {CKO_DATA, "id-1", "data object", ""},
      {CKO_CERTIFICATE, "id-2", "lonely certificate", "DER"},
      {CKO_PRIVATE_KEY, "", "no id", ""},
  };
  modules[0].tokenFlags |= CKF_PROTECTED_AUTHENTICATION_PATH;  // "ND" is the PIN pad's login
  P11Manager manager("GD", kTable, loader, digester);
  const Records records = manager.findStore("GD", "00AA11")->listObjects("ND");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].dump(),
            R"({"certificate":false,"id":"aWQtMQ==","label":"public one","privateKey":true,"publicKey":true})");
  EXPECT_EQ(records[1]["id"], "");
  // Read-write session, login, then C_Logout and C_CloseSession at the end.
  const std::vector<std::string> expected = {"0:C_OpenSession rw", "0:C_Login", "0:C_Logout",
                                             "0:C_CloseSession"};
  EXPECT_TRUE(std::search(calls.begin(), calls.end(), expected.begin(), expected.end()) != calls.end());
}

// The signing steps: no key signs nothing; a digest of the wrong length is refused
// before any signing call; a module's signature length is taken as given.
TEST_F(P11Test, SigningSteps) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}};
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  const std::string digest20 = base64Encode(Bytes(20, 1));
  EXPECT_EQ(store->signWithKeyId(digest20, "other", "1234", "sha1", true), "");
  EXPECT_EQ(store->signWithKeyId(digest20, "key", "1234", "sha256", true),
            "Tamanho data nao condiz com algoritmo utilizado");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_SignInit k"), 0);
  EXPECT_EQ(store->signWithKeyId(digest20, "key", "1234", "sha1", true), base64Encode(Bytes(4, 0xAB)));
  modules[0].signatureLength = 0;
  EXPECT_EQ(store->signWithKeyId("", "key", "1234", "sha512", false), "");
}

// Sizes a module announces beyond any real token's are not allocated: such an
// attribute value reads as empty, such a signature as empty, such a slot list as no
// slots. A large announced length within the limit is still read.
TEST_F(P11Test, AbsurdAnnouncedSizesReadAsNothing) {
  const CK_ULONG absurd = CK_UNAVAILABLE_INFORMATION - 1;
  const std::string emptySha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
  modules[0].objects = {{CKO_CERTIFICATE, "key", "c", "DER"},
                        {CKO_PUBLIC_KEY, "key", "p", "modulus"},
                        {CKO_PRIVATE_KEY, "key", "k", ""}};
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  const std::string keyB64 = base64Encode(reinterpret_cast<const std::uint8_t*>("key"), 3);
  struct Case { CK_ULONG announced; std::string thumbprint, modulus; };
  const std::string derSha1 = "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967";  // SHA-1 of the bytes "DER"
  for (const Case& c : {Case{kMaxValueLength, derSha1, "bW9kdWx1cw=="}, Case{absurd, emptySha1, ""},
                        Case{kMaxValueLength + 1, emptySha1, ""}}) {
    modules[0].announcedLength = c.announced;
    const Records certificates = manager.listCertificates();
    ASSERT_EQ(certificates.size(), 1u) << c.announced;
    EXPECT_EQ(certificates[0]["thumbprint"], c.thumbprint) << c.announced;
    EXPECT_EQ(store->getPublicKey(keyB64), c.modulus) << c.announced;
  }
  modules[0].announcedLength = 0;

  modules[0].signatureLength = absurd;
  EXPECT_EQ(store->signWithKeyId(base64Encode(Bytes(20, 1)), "key", "1234", "sha1", true), "");

  modules[0].announcedSlots = absurd;
  P11Manager absurdSlots("GD", kTable, loader, digester);
  EXPECT_EQ(absurdSlots.storeCount(), 0u);
  modules[0].announcedSlots = kMaxSlotCount;
  modules[0].slotsOnSecondCall = 1;
  P11Manager manySlots("GD", kTable, loader, digester);
  EXPECT_EQ(manySlots.storeCount(), 1u);
}

// A module whose object search never reports its end: each search stops after
// kMaxFoundObjects handles and the operations finish.
TEST_F(P11Test, EndlessObjectSearchStops) {
  modules[0].objects = {{CKO_CERTIFICATE, "key", "c", "DER"},
                        {CKO_PUBLIC_KEY, "key", "p", "modulus"}};
  modules[0].endlessSearch = true;
  P11Manager manager("GD", kTable, loader, digester);
  EXPECT_EQ(manager.listCertificates().size(), kMaxFoundObjects);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->getPublicKey(base64Encode(reinterpret_cast<const std::uint8_t*>("key"), 3)),
            "bW9kdWx1cw==");
}

// A failed signature is never a signature: when C_SignInit or either C_Sign fails,
// the result is the empty text, never the zero-filled buffer of the announced length;
// by key id and by thumbprint alike.
TEST_F(P11Test, FailedSigningStepsGiveNoBytes) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}, {CKO_CERTIFICATE, "key", "c", "DER"}};
  modules[0].signatureLength = 64;
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  const std::string derSha1 = "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967";
  const std::string digest = base64Encode(Bytes(32, 7));
  struct Case { const char* step; CK_RV FakeModuleState::*answer; CK_RV rv; };
  for (const Case& c : {Case{"C_SignInit", &FakeModuleState::signInit, CKR_KEY_FUNCTION_NOT_PERMITTED},
                        Case{"first C_Sign", &FakeModuleState::signLength, CKR_DEVICE_REMOVED},
                        Case{"second C_Sign", &FakeModuleState::sign, CKR_DATA_LEN_RANGE},
                        Case{"second C_Sign", &FakeModuleState::sign, CKR_USER_NOT_LOGGED_IN},
                        Case{"second C_Sign", &FakeModuleState::sign, CKR_FUNCTION_CANCELED}}) {
    modules[0].*c.answer = c.rv;
    EXPECT_EQ(store->signWithKeyId(digest, "key", "1234", "sha256", true), "") << c.step << " " << c.rv;
    EXPECT_EQ(manager.sign(digest, derSha1, "1234", "sha256", true), "") << c.step << " " << c.rv;
    modules[0].*c.answer = CKR_OK;
  }
  EXPECT_EQ(manager.sign(digest, derSha1, "1234", "sha256", true), base64Encode(Bytes(64, 0xAB)));
}

// Key identifiers are bytes: ids holding zero bytes (as smart-card middleware gives
// them, 00 01, 00 02...) and an id that is another's prefix up to a zero byte are told
// apart by the listing, the search by id and the search by thumbprint.
TEST_F(P11Test, KeyIdsWithZeroBytesAreKeptWhole) {
  const std::string id1("\0\x01", 2), id2("\0\x02", 2), cut("ab", 2), whole("ab\0cd", 5);
  modules[0].objects = {
      {CKO_PRIVATE_KEY, id1, "key 1", ""},      {CKO_CERTIFICATE, id1, "cert 1", "DER1"},
      {CKO_PRIVATE_KEY, id2, "key 2", ""},      {CKO_PUBLIC_KEY, id2, "public 2", "modulus 2"},
      {CKO_CERTIFICATE, id2, "cert 2", "DER2"}, {CKO_PRIVATE_KEY, cut, "key ab", ""},
      {CKO_PRIVATE_KEY, whole, "key ab0cd", ""}, {CKO_PUBLIC_KEY, whole, "public ab0cd", "modulus ab0cd"},
  };
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  const auto b64 = tarvo::testing::base64;
  const Records records = store->listObjects("1234");
  ASSERT_EQ(records.size(), 4u);
  const std::vector<std::string> expected = {
      R"({"certificate":true,"id":"AAE=","label":"cert 1","privateKey":true,"publicKey":false})",
      R"({"certificate":true,"id":"AAI=","label":"cert 2","privateKey":true,"publicKey":true})",
      R"({"certificate":false,"id":"YWI=","label":"key ab","privateKey":true,"publicKey":false})",
      R"({"certificate":false,"id":"YWIAY2Q=","label":"public ab0cd","privateKey":true,"publicKey":true})"};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(records[i].dump(), expected[i]) << i;

  const Bytes digest(20, 1);
  const std::string signature = base64Encode(Bytes(4, 0xAB));
  struct Case { std::string id; const char* signer; };
  for (const Case& c : {Case{id1, "key 1"}, Case{id2, "key 2"}, Case{cut, "key ab"}, Case{whole, "key ab0cd"}}) {
    calls.clear();
    EXPECT_EQ(store->signWithKeyId(base64Encode(digest), c.id, "1234", "sha1", true), signature) << c.signer;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("0:C_SignInit ") + c.signer), 1) << c.signer;
  }
  EXPECT_EQ(store->signWithKeyId(base64Encode(digest), std::string("\0", 1), "1234", "sha1", true), "");
  EXPECT_EQ(store->getPublicKey(b64(id2)), b64("modulus 2"));
  EXPECT_EQ(store->getPublicKey(b64(whole)), b64("modulus ab0cd"));
  EXPECT_EQ(store->getPublicKey(b64(cut)), "");

  // By thumbprint: the certificate's whole id chooses the key.
  calls.clear();
  const Records certificates = manager.listCertificates();
  ASSERT_EQ(certificates.size(), 2u);
  EXPECT_EQ(manager.sign(base64Encode(digest), certificates[1]["thumbprint"], "1234", "sha1", true), signature);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_SignInit key 2"), 1);
}

// A module that exports only C_GetFunctionList is used through its table; one that
// exports the names is used by name without asking for the table; a function found
// neither by name nor in the table fails its step with 84.
TEST_F(P11Test, FunctionTableStandsInForMissingNames) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}};
  loader.table = true;
  loader.missing = {"C_Initialize", "C_Finalize", "C_GetSlotList", "C_GetTokenInfo", "C_OpenSession",
                    "C_CloseSession", "C_Login", "C_Logout", "C_FindObjectsInit", "C_FindObjects",
                    "C_FindObjectsFinal", "C_GetAttributeValue", "C_SignInit", "C_Sign"};
  {
    P11Manager manager("GD", kTable, loader, digester);
    const Records tokens = manager.listTokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0]["serial"], "00AA11");
    // C_GetSlotInfo is in neither place.
    EXPECT_EQ(tokens[0]["manufacturerId"], "[ERROR] P11Store.getManufacturerId - C_GetSlotInfo, rv: 84");
    EXPECT_EQ(manager.findStore("GD", "00AA11")->signWithKeyId(base64Encode(Bytes(20, 1)), "key", "1234", "sha1", true),
              base64Encode(Bytes(4, 0xAB)));
  }
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_GetFunctionList"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Initialize"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Finalize"), 1);

  // Names exported: the table is never asked for.
  calls.clear();
  loader.missing.clear();
  { P11Manager manager("GD", kTable, loader, digester); EXPECT_EQ(manager.storeCount(), 1u); }
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_GetFunctionList"), 0);

  // Missing by name and empty in the table: the login fails as if refused.
  loader.missing = {"C_Login"};
  loader.notInTable = {"C_Login"};
  P11Manager manager("GD", kTable, loader, digester);
  try {
    manager.findStore("GD", "00AA11")->listObjects("1234");
    ADD_FAILURE() << "login without C_Login";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Erro no Login - Erro Generico");
  }
}

// signList: the key is found by thumbprint as for sign, one session and one login
// serve the whole list, the results keep list order, ids and values; a failed
// signature or a missing key fails the whole list; no certificate gives sign's text.
TEST_F(P11Test, SignListOneLoginAllOrNothing) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}, {CKO_CERTIFICATE, "key", "c", "DER"}};
  modules[0].signatureLength = 8;
  P11Manager manager("GD", kTable, loader, digester);
  const std::string derSha1 = "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967";
  const auto document = nlohmann::json::parse(
      R"([{"value":"YQ","hashedData":false,"id":1},{"value":")" + base64Encode(Bytes(32, 7)) +
      R"(","hashedData":true,"id":"two"},{"value":"","hashedData":false}])");
  calls.clear();
  const nlohmann::json signed3 = manager.signList(derSha1, "sha256", "1234", document);
  ASSERT_EQ(signed3.size(), 3u);
  const std::string signature = base64Encode(Bytes(8, 0xAB));
  EXPECT_EQ(signed3[0], (nlohmann::json{{"data", "YQ"}, {"id", 1}, {"signed", signature}}));
  EXPECT_EQ(signed3[1]["id"], "two");
  EXPECT_EQ(signed3[2], (nlohmann::json{{"data", ""}, {"id", nullptr}, {"signed", signature}}));
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Login"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_SignInit k"), 3);

  modules[0].sign = CKR_DEVICE_REMOVED;
  EXPECT_THROW(
      try { manager.signList(derSha1, "sha256", "1234", document); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Elemento 1 (id 1): Erro na assinatura");
        throw;
      },
      std::runtime_error);
  modules[0].sign = CKR_OK;
  EXPECT_EQ(manager.signList("00", "sha256", "1234", document),
            "Nenhum certificado encontrado com o thumbprint enviado");
  // The list is read whole before any token is searched.
  calls.clear();
  EXPECT_THROW(manager.signList(derSha1, "sha1", "1234", document), std::runtime_error);
  EXPECT_TRUE(calls.empty());

  modules[0].objects = {{CKO_CERTIFICATE, "key", "c", "DER"}};
  EXPECT_THROW(
      try { manager.signList(derSha1, "sha256", "1234", document); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Chave privada nao encontrada");
        throw;
      },
      std::runtime_error);
}

// The list document is read whole: DigestInfos of data (hashed here) and of finished
// digests, Base64 with or without padding.
TEST(ReadBatch, DigestInfos) {
  const Bytes digest256(32, 9);
  const auto document = nlohmann::json::parse(
      R"([{"value":"aGVsbG8","hashedData":false,"id":1},{"value":")" + base64Encode(digest256) +
      R"(","hashedData":true}])");
  const auto items = readBatch(document, "sha256", digester);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].digestInfo,
            digestInfo(digestTemplate("sha256"),
                       hexDecode("2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824")));
  EXPECT_EQ(items[0].value, "aGVsbG8");
  EXPECT_EQ(items[0].id, 1);
  EXPECT_EQ(items[1].digestInfo, digestInfo(digestTemplate("sha256"), digest256));
  EXPECT_TRUE(items[1].id.is_null());
  for (const auto& [hash, length] : {std::pair{"sha1", 35u}, std::pair{"sha512", 83u}}) {
    const auto data = readBatch(nlohmann::json::parse(R"([{"value":"eA==","hashedData":false}])"), hash, digester);
    EXPECT_EQ(data.at(0).digestInfo.size(), length) << hash;
  }
  EXPECT_TRUE(readBatch(nlohmann::json::array(), "sha1", digester).empty());
}

// Every refusal names the element (position from 1 and id) and the reason; the list
// as a whole is refused when it is no array or longer than 10000 elements.
TEST(ReadBatch, RefusalsNameTheElement) {
  const std::string d20 = base64Encode(Bytes(20, 1)), d32 = base64Encode(Bytes(32, 1));
  const std::pair<std::string, std::string> cases[] = {
      {R"({"value":"eA=="})", "Lista invalida: a lista deve ser um array JSON"},
      {R"("eA==")", "Lista invalida: a lista deve ser um array JSON"},
      {R"([1])", "Elemento 1 (id null): o elemento deve ser um objeto"},
      {R"([{"value":"eA==","hashedData":false,"id":1},{"hashedData":true,"id":"two"}])",
       R"(Elemento 2 (id "two"): value deve ser um texto Base64)"},
      {R"([{"value":5,"hashedData":false}])", "Elemento 1 (id null): value deve ser um texto Base64"},
      {R"([{"value":"eA==","hashedData":"true","id":[1]}])",
       "Elemento 1 (id [1]): hashedData deve ser booleano"},
      {R"([{"value":"eA==","id":3}])", "Elemento 1 (id 3): hashedData deve ser booleano"},
      {R"([{"value":")" + d32 + R"(","hashedData":true,"id":3}])",
       "Elemento 1 (id 3): Tamanho data nao condiz com algoritmo utilizado"},
      {R"([{"value":")" + d20 + R"(","hashedData":true},{"value":")" + d32 + R"(","hashedData":true,"id":{"n":2}}])",
       R"(Elemento 2 (id {"n":2}): Tamanho data nao condiz com algoritmo utilizado)"},
  };
  for (const auto& [text, message] : cases) {
    try {
      (void)readBatch(nlohmann::json::parse(text), "sha1", digester);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), message) << text;
    }
  }
  // 10000 elements are read (the first malformed one is reported), 10001 are not.
  nlohmann::json many(std::vector<int>(kMaxBatchItems, 0));
  EXPECT_THROW(
      try { (void)readBatch(many, "sha1", digester); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Elemento 1 (id null): o elemento deve ser um objeto");
        throw;
      },
      std::runtime_error);
  many.push_back(0);
  EXPECT_THROW(
      try { (void)readBatch(many, "sha1", digester); } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Lista invalida: mais de 10000 elementos");
        throw;
      },
      std::runtime_error);
}

TEST(P11Tables, DigestInfoTemplates) {
  struct Case { const char* name; std::size_t prefix, digest; };
  for (const Case& c : {Case{"sha1", 15, 20}, Case{"sha512", 19, 64}, Case{"sha256", 19, 32},
                        Case{"SHA1", 19, 32}, Case{"", 19, 32}, Case{"md5", 19, 32}}) {
    const DigestTemplate t = digestTemplate(c.name);
    EXPECT_EQ(t.prefix.size(), c.prefix) << c.name;
    EXPECT_EQ(t.digestLength, c.digest) << c.name;
    // The DER length byte covers the rest of the DigestInfo.
    EXPECT_EQ(t.prefix[1], c.prefix + c.digest - 2) << c.name;
    EXPECT_EQ(t.prefix.back(), c.digest) << c.name;
  }
}

TEST(P11Tables, LoginAndDeviceTexts) {
  EXPECT_EQ(loginFailureText(CKR_OK), "");
  EXPECT_EQ(loginFailureText(CKR_USER_ALREADY_LOGGED_IN), "Erro no Login - Erro Generico");
  EXPECT_EQ(loginFailureText(CKR_PIN_LEN_RANGE), "Erro no Login - Tamanho do Pin invalido");
  EXPECT_EQ(deviceFailureText(CKR_DEVICE_MEMORY), "Dispositivo sem mem\xC3\xB3ria");
  EXPECT_EQ(deviceFailureText(0x162), "354");
  EXPECT_EQ(deviceFailureText(CKR_KEY_SIZE_RANGE), "98");
}

// A decoder that reads the fake certificates: "CERT:<subject>" decodes, anything else
// does not.
class PrefixDecoder final : public CertificateDecoder {
 public:
  std::optional<CertificateFields> decode(const Bytes& der) const override {
    const std::string text(der.begin(), der.end());
    if (text.rfind("CERT:", 0) != 0) return std::nullopt;
    return CertificateFields{text.substr(5), "CN=Issuer", "0a", "2026-01-01T00:00:00Z",
                             "2027-01-01T00:00:00Z"};
  }
};

// Certificate details: each certificate with its id in Base64, label and decoded fields;
// privateKey when a private key has the same id (zero bytes included); an undecodable
// certificate keeps its thumbprint and Base64, with null fields; no login.
TEST_F(P11Test, CertificateDetails) {
  const std::string zeroId("\x00\x01", 2);
  modules[0].objects = {
      {CKO_CERTIFICATE, "id-1", "with key", "CERT:CN=Ana"},
      {CKO_PRIVATE_KEY, "id-1", "key", ""},
      {CKO_CERTIFICATE, "id-2", "without key", "CERT:CN=Bob"},
      {CKO_PUBLIC_KEY, "id-2", "public only", ""},
      {CKO_CERTIFICATE, zeroId, "zero id", "garbage"},
      {CKO_PRIVATE_KEY, std::string("\x00\x02", 2), "other zero id", ""},
      {CKO_PRIVATE_KEY, "", "empty id", ""},
  };
  modules[1].objects = {{CKO_CERTIFICATE, "", "", "DER"}};
  PrefixDecoder decoder;
  P11Manager manager("ND", kTable, loader, digester);
  const Records records = manager.listCertificateDetails(decoder);
  ASSERT_EQ(records.size(), 4u);
  const std::string thumbprintOfDer = "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967";
  EXPECT_EQ(records[0].dump(),
            R"({"certificate":"Q0VSVDpDTj1BbmE=","id":"aWQtMQ==","issuer":"CN=Issuer",)"
            R"("label":"with key","notAfter":"2027-01-01T00:00:00Z",)"
            R"("notBefore":"2026-01-01T00:00:00Z","privateKey":true,"serial":"00AA11",)"
            R"("serialNumber":"0a","subject":"CN=Ana","thumbprint":")" +
                manager.listCertificates()[0]["thumbprint"].get<std::string>() +
                R"(","type":"GD"})");
  EXPECT_EQ(records[1]["subject"], "CN=Bob");
  EXPECT_EQ(records[1]["privateKey"], false);
  EXPECT_EQ(records[2]["id"], "AAE=");
  EXPECT_EQ(records[2]["privateKey"], false);
  EXPECT_EQ(records[2]["certificate"], "Z2FyYmFnZQ==");
  for (const char* member : {"subject", "issuer", "serialNumber", "notBefore", "notAfter"}) {
    EXPECT_TRUE(records[2][member].is_null()) << member;
  }
  EXPECT_EQ(records[3]["type"], "ET");
  EXPECT_EQ(records[3]["id"], "");
  EXPECT_EQ(records[3]["thumbprint"], thumbprintOfDer);
  // The same fields as the plain listing, in the same order.
  const Records plain = manager.listCertificates();
  ASSERT_EQ(plain.size(), records.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    for (const char* member : {"type", "serial", "thumbprint"}) {
      EXPECT_EQ(records[i][member], plain[i][member]) << i << member;
    }
  }
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_Login"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_OpenSession rw"), 0);
}


// The failure text of a call, or "no failure".
template <typename Run>
std::string failureOf(Run&& run) {
  try {
    run();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no failure";
}

// A login is tried only where the token can take it: the token's flags are read
// first; a locked or never-set user PIN, and no PIN on a token without a PIN pad, are
// refused before any session or login. Only a PIN pad gets the NULL login.
TEST_F(P11Test, LoginOnlyWhereTheTokenTakesIt) {
  constexpr CK_FLAGS kSet = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
  struct Case {
    CK_FLAGS flags;
    const char* pin;
    CK_RV tokenInfo, login;
    const char* answer;   // the failure, or "no failure"
    const char* tried;    // the PIN C_Login got, or "" for no login
  };
  const Case cases[] = {
      {kSet, "1234", CKR_OK, CKR_OK, "no failure", "1234"},
      {kSet, "ND", CKR_OK, CKR_OK, "PIN nao informado", ""},
      {kSet, "", CKR_OK, CKR_OK, "PIN nao informado", ""},
      {kSet | CKF_PROTECTED_AUTHENTICATION_PATH, "ND", CKR_OK, CKR_OK, "no failure", "NULL"},
      {kSet | CKF_PROTECTED_AUTHENTICATION_PATH, "", CKR_OK, CKR_OK, "no failure", "NULL"},
      {kSet | CKF_PROTECTED_AUTHENTICATION_PATH, "1234", CKR_OK, CKR_OK, "no failure", "1234"},
      {kSet | CKF_USER_PIN_LOCKED, "1234", CKR_OK, CKR_OK, "Erro no Login - Pin bloqueado", ""},
      {kSet | CKF_USER_PIN_LOCKED | CKF_PROTECTED_AUTHENTICATION_PATH, "ND", CKR_OK, CKR_OK,
       "Erro no Login - Pin bloqueado", ""},
      {kSet & ~CKF_USER_PIN_INITIALIZED, "1234", CKR_OK, CKR_OK, "Erro no Login - Pin nao inicializado", ""},
      // A token that wants no login (a read-only trust store) answers for itself.
      {CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED, "1234", CKR_OK, CKR_OK, "no failure", "1234"},
      {kSet, "1234", CKR_OK, CKR_USER_PIN_NOT_INITIALIZED, "Erro no Login - Pin nao inicializado", "1234"},
      {kSet, "1234", CKR_OK, CKR_PIN_LOCKED, "Erro no Login - Pin bloqueado", "1234"},
      {kSet, "1234", CKR_OK, CKR_USER_ALREADY_LOGGED_IN, "Erro no Login - Erro Generico", "1234"},
      // Flags that cannot be read: a PIN is tried as before, no PIN is not.
      {kSet | CKF_USER_PIN_LOCKED, "1234", CKR_DEVICE_REMOVED, CKR_OK, "no failure", "1234"},
      {kSet | CKF_PROTECTED_AUTHENTICATION_PATH, "ND", CKR_DEVICE_REMOVED, CKR_OK, "PIN nao informado", ""},
  };
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  for (const Case& c : cases) {
    modules[0].tokenFlags = c.flags;
    modules[0].tokenInfo = c.tokenInfo;
    modules[0].login = c.login;
    modules[0].pins.clear();
    calls.clear();
    const std::string where = std::to_string(c.flags) + " '" + c.pin + "' " + std::to_string(c.login);
    EXPECT_EQ(failureOf([&] { store->listObjects(c.pin); }), c.answer) << where;
    EXPECT_EQ(modules[0].pins, std::string(c.tried).empty() ? std::vector<std::string>{}
                                                            : std::vector<std::string>{c.tried})
        << where;
    if (std::string(c.tried).empty()) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_OpenSession rw"), 0) << where;
    }
  }
}

// A module that does not start is an error when no token is usable: the first such
// module's code, call and return code. Under ND the tokens of the other modules win.
TEST_F(P11Test, StartFailureAnswersWhenNoTokenIsUsable) {
  modules[0].initialize = CKR_HOST_MEMORY;
  EXPECT_EQ(errorOf("GD"), "Erro ao inicializar biblioteca GD: C_Initialize 0x00000002");
  EXPECT_EQ(calls, (std::vector<std::string>{"0:C_Initialize", "0:C_Finalize", "0:unload"}));
  modules[0].initialize = 0x80000001UL;
  EXPECT_EQ(errorOf("GD"), "Erro ao inicializar biblioteca GD: C_Initialize 0x80000001");
  modules[0].initialize = CKR_OK;
  modules[0].slotList = CKR_DEVICE_ERROR;
  calls.clear();
  EXPECT_EQ(errorOf("GD"), "Erro ao inicializar biblioteca GD: C_GetSlotList 0x00000030");
  EXPECT_EQ(calls, (std::vector<std::string>{"0:C_Initialize", "0:C_Finalize", "0:unload"}));

  // Under ND: other tokens keep today's answer; without any, the first failure is named.
  {
    P11Manager manager("ND", kTable, loader, digester);
    EXPECT_EQ(manager.storeCount(), 6u);
  }
  for (auto& module : modules) module.slots = {};
  modules[3].initialize = CKR_GENERAL_ERROR;
  EXPECT_EQ(errorOf("ND"), "Erro ao inicializar biblioteca GD: C_GetSlotList 0x00000030");
  modules[0].slotList = CKR_OK;
  EXPECT_EQ(errorOf("ND"), "Erro ao inicializar biblioteca BR: C_Initialize 0x00000005");

  // No slot at all, or a library another code already started, is no failure.
  modules[3].initialize = CKR_CRYPTOKI_ALREADY_INITIALIZED;
  EXPECT_EQ(errorOf("ND"), "");
  EXPECT_EQ(errorOf("BR"), "");
}

// One serial on several tokens names none of them: the ambiguity and the exact names
// (serial#slotId, as the tokens listing gives the slot) are the answer, and nothing
// is opened. An exact name finds its token whether or not the serial is shared.
TEST_F(P11Test, AmbiguousSerialNamesTheExactNames) {
  modules[0].slots = {1, 2, 13, 4};
  modules[0].serials = {{1, "0000"}, {2, "0000"}, {13, "0000"}, {4, "00AA11"}};
  P11Manager manager("GD", kTable, loader, digester);
  calls.clear();
  EXPECT_EQ(failureOf([&] { manager.findStore("GD", "0000"); }),
            "Serial ambiguo: 3 tokens com o serial 0000; informe 0000#1, 0000#2 ou 0000#13");
  EXPECT_TRUE(calls.empty());
  struct Case { const char* name; const char* slot; };
  for (const Case& c : {Case{"0000#2", "2"}, Case{"0000#13", "13"}, Case{"00AA11", "4"}, Case{"00AA11#4", "4"}}) {
    auto* store = dynamic_cast<P11Store*>(manager.findStore("GD", c.name));
    ASSERT_NE(store, nullptr) << c.name;
    EXPECT_EQ(store->getInfo()["slotId"], c.slot) << c.name;
  }
  for (const char* name : {"0000#3", "0000#", "00AA11#1", "#1", "0000#1#1", "ND#1"}) {
    EXPECT_EQ(manager.findStore("GD", name), nullptr) << name;
  }
  EXPECT_EQ(manager.findStore("ET", "0000#1"), nullptr);
}

// The certificates the fake decoder takes apart: "CERT" is one, anything else is not.
class PartsDecoder final : public CertificateDecoder {
 public:
  std::optional<CertificateFields> decode(const Bytes&) const override { return std::nullopt; }
  std::optional<DecodedCertificate> parse(const Bytes& der) const override {
    if (std::string(der.begin(), der.end()) != "CERT") return std::nullopt;
    return DecodedCertificate{Bytes{0x30, 0x01, 0x53}, Bytes{0x30, 0x01, 0x49}, Bytes{0x00, 0x8F}, {}, {}};
  }
};

// Only a certificate is imported, checked before any session; every code's template
// carries its DER subject, issuer and serial number (a DER INTEGER).
TEST_F(P11Test, ImportWritesOnlyCertificatesWithTheirNames) {
  const PartsDecoder decoder;
  P11Manager manager("ND", kTable, loader, digester, &decoder);
  auto b64 = [](const std::string& text) {
    return base64Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const std::string refused =
      "Erro na importa\xC3\xA7\xC3\xA3o do certificado: o certificado nao e um X.509 em DER";
  for (const std::string& junk : {std::string(), std::string("not a certificate"), std::string("CERT!")}) {
    calls.clear();
    EXPECT_EQ(failureOf([&] { manager.findStore("GD", "00AA11")->importCertificate(b64("id"), "GD", "L", b64(junk), "1234"); }),
              refused) << junk;
    EXPECT_TRUE(calls.empty()) << junk;
  }
  const Bytes serialDer = {0x02, 0x02, 0x00, 0x8F};
  using Attributes = std::vector<std::pair<CK_ATTRIBUTE_TYPE, std::string>>;
  auto value = [](const auto& v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); };
  const Attributes common = {{CKA_CERTIFICATE_TYPE, value(CKC_X_509)}, {CKA_VALUE, "CERT"},
                             {CKA_TOKEN, "\x01"}, {CKA_CLASS, value(CKO_CERTIFICATE)},
                             {CKA_ID, "id"}, {CKA_LABEL, "L"}};
  const Attributes names = {{CKA_ISSUER, "\x30\x01\x49"}, {CKA_SERIAL_NUMBER, std::string(serialDer.begin(), serialDer.end())},
                            {CKA_SUBJECT, "\x30\x01\x53"}};
  struct Case { const char* code; int module; Attributes extra; };
  for (const Case& c : {Case{"GD", 0, {}}, Case{"AT", 2, {{CKA_PRIVATE, std::string(1, '\0')}, {CKA_MODIFIABLE, "\x01"}}}}) {
    EXPECT_EQ(manager.findStore(c.code, "00AA11")->importCertificate(b64("id"), c.code, "L", b64("CERT"), "1234"),
              "certificado adicionado com sucesso: " + b64("id")) << c.code;
    Attributes expected = common;
    expected.insert(expected.end(), c.extra.begin(), c.extra.end());
    expected.insert(expected.end(), names.begin(), names.end());
    EXPECT_EQ(modules[c.module].created, expected) << c.code;
  }
  // Without a decoder, or with one that does not take certificates apart, nothing is
  // imported.
  P11Manager unparsed("GD", kTable, loader, digester);
  EXPECT_EQ(failureOf([&] { unparsed.findStore("GD", "00AA11")->importCertificate(b64("id"), "GD", "L", b64("CERT"), "1234"); }),
            refused);
  const PrefixDecoder fieldsOnly;
  P11Manager describing("GD", kTable, loader, digester, &fieldsOnly);
  EXPECT_EQ(failureOf([&] { describing.findStore("GD", "00AA11")->importCertificate(b64("id"), "GD", "L", b64("CERT:CN=A"), "1234"); }),
            refused);
}

// A token without CKM_RSA_PKCS signs data through the hashing mechanism of the
// algorithm (the data itself goes in) and refuses a finished digest, a list holding
// one before any login. With CKM_RSA_PKCS, or no readable mechanism list, the
// DigestInfo goes to CKM_RSA_PKCS as before.
TEST_F(P11Test, SigningWithoutRawRsa) {
  modules[0].objects = {{CKO_PRIVATE_KEY, "key", "k", ""}, {CKO_CERTIFICATE, "key", "c", "DER"}};
  P11Manager manager("GD", kTable, loader, digester);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  const std::string signature = base64Encode(Bytes(4, 0xAB));
  const std::string hello = "aGVsbG8=";
  const std::vector<CK_MECHANISM_TYPE> hashing = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA1_RSA_PKCS,
                                                  CKM_SHA256_RSA_PKCS, CKM_SHA512_RSA_PKCS};
  struct Case { const char* hash; CK_MECHANISM_TYPE mechanism; };
  modules[0].mechanisms = hashing;
  for (const Case& c : {Case{"sha1", CKM_SHA1_RSA_PKCS}, Case{"sha256", CKM_SHA256_RSA_PKCS},
                        Case{"other", CKM_SHA256_RSA_PKCS}, Case{"sha512", CKM_SHA512_RSA_PKCS}}) {
    modules[0].signMechanisms.clear();
    modules[0].signInputs.clear();
    EXPECT_EQ(store->signWithKeyId(hello, "key", "1234", c.hash, false), signature) << c.hash;
    EXPECT_EQ(modules[0].signMechanisms, std::vector<CK_MECHANISM_TYPE>{c.mechanism}) << c.hash;
    EXPECT_EQ(modules[0].signInputs, std::vector<std::string>{"hello"}) << c.hash;
  }
  const std::string digest32 = base64Encode(Bytes(32, 7));
  modules[0].signMechanisms.clear();
  EXPECT_EQ(failureOf([&] { store->signWithKeyId(digest32, "key", "1234", "sha256", true); }),
            "Token sem CKM_RSA_PKCS: um hash ja calculado nao pode ser assinado");
  EXPECT_EQ(failureOf([&] { manager.sign(digest32, "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967", "1234", "sha256", true); }),
            "Token sem CKM_RSA_PKCS: um hash ja calculado nao pode ser assinado");
  EXPECT_EQ(store->signWithKeyId(digest32, "key", "1234", "sha1", true),
            "Tamanho data nao condiz com algoritmo utilizado");
  EXPECT_TRUE(modules[0].signMechanisms.empty());

  const std::string derSha1 = "8a5f02aaa5212e9bbe907d8e84e3b5f7e8c67967";
  const auto data = nlohmann::json::parse(R"([{"value":"aGVsbG8=","hashedData":false,"id":1},{"value":"eA","hashedData":false}])");
  modules[0].signInputs.clear();
  EXPECT_EQ(manager.signList(derSha1, "sha512", "1234", data).size(), 2u);
  EXPECT_EQ(modules[0].signInputs, (std::vector<std::string>{"hello", "x"}));
  const auto mixed = nlohmann::json::parse(R"([{"value":"aGVsbG8=","hashedData":false,"id":1},{"value":")" +
                                           digest32 + R"(","hashedData":true,"id":"two"}])");
  modules[0].pins.clear();
  EXPECT_EQ(failureOf([&] { manager.signList(derSha1, "sha256", "1234", mixed); }),
            "Elemento 2 (id \"two\"): Token sem CKM_RSA_PKCS: um hash ja calculado nao pode ser assinado");
  EXPECT_TRUE(modules[0].pins.empty());

  // Raw RSA offered, or no list: the DigestInfo with CKM_RSA_PKCS.
  for (const auto& mechanisms : {std::vector<CK_MECHANISM_TYPE>{CKM_SHA256_RSA_PKCS, CKM_RSA_PKCS},
                                 std::vector<CK_MECHANISM_TYPE>{}}) {
    modules[0].mechanisms = mechanisms;
    modules[0].signMechanisms.clear();
    modules[0].signInputs.clear();
    EXPECT_EQ(store->signWithKeyId(digest32, "key", "1234", "sha256", true), signature);
    EXPECT_EQ(modules[0].signMechanisms, std::vector<CK_MECHANISM_TYPE>{CKM_RSA_PKCS});
    const Bytes info = digestInfo(digestTemplate("sha256"), Bytes(32, 7));
    EXPECT_EQ(modules[0].signInputs, std::vector<std::string>{std::string(info.begin(), info.end())});
  }
}

// Labels are cut to 18 bytes on a character boundary: UTF-8 on Linux, the ANSI code
// page's characters on Windows.
TEST(LabelCut, Utf8Boundary) {
  struct Case { std::string text; std::size_t cut; };
  const std::string a17 = "ABCDEFGHIJKLMNOPQ";
  for (const Case& c : {Case{a17 + "\xC3\xA9", 17}, Case{a17 + "R", 18}, Case{a17 + "RS", 18},
                        Case{"ABCDEFGHIJKLMNOP\xC3\xA9", 18}, Case{"ABCDEFGHIJKLMNOP\xE2\x82\xAC", 16},
                        Case{"ABCDEFGHIJKLMNO\xE2\x82\xAC", 18}, Case{"ABCDEFGHIJKLMNO\xF0\x9F\x98\x80", 15},
                        Case{"ABCDEFGHIJKLMN\xF0\x9F\x98\x80", 18}, Case{"", 0}, Case{a17, 17},
                        // Not UTF-8: continuation bytes beyond any sequence are cut as bytes.
                        Case{std::string(20, '\x80'), 18}, Case{a17 + "\xC3", 18}}) {
    EXPECT_EQ(utf8Boundary(c.text, 18), c.cut) << c.text;
  }
#ifndef _WIN32
  EXPECT_EQ(cutOnCharacter(a17 + "\xC3\xA9", 18), a17);
#endif
}

#ifdef _WIN32
TEST(LabelCut, CodePageBoundary) {
  const std::string a17 = "ABCDEFGHIJKLMNOPQ";
  // Shift-JIS: 82 A0 is one character; a lead byte at the end of the text is one too.
  EXPECT_EQ(codePageBoundary(a17 + "\x82\xA0", 18, 932), 17u);
  EXPECT_EQ(codePageBoundary("ABCDEFGHIJKLMNOP\x82\xA0Z", 18, 932), 18u);
  EXPECT_EQ(codePageBoundary(a17 + "\x82", 18, 932), 18u);
  EXPECT_EQ(codePageBoundary("\x82\xA0\x82\xA0", 3, 932), 2u);
  // A single-byte code page: every byte is a character.
  EXPECT_EQ(codePageBoundary(a17 + "\xE9Z", 18, 1252), 18u);
  EXPECT_EQ(codePageBoundary(a17 + "\x82\xA0", 18, 1252), 18u);
  EXPECT_EQ(cutOnCharacter(a17 + "\xE9", 18), a17 + "\xE9");
}
#endif

TEST(P11Tables, StartFailureText) {
  EXPECT_EQ(startFailureText("GD", checkReturn("C_Initialize", CKR_DEVICE_ERROR)),
            "Erro ao inicializar biblioteca GD: C_Initialize 0x00000030");
  EXPECT_EQ(startFailureText("ET", checkReturn("C_GetSlotList", 0xFFFFFFFFUL)),
            "Erro ao inicializar biblioteca ET: C_GetSlotList 0xFFFFFFFF");
  EXPECT_EQ(loginFailureText(CKR_USER_PIN_NOT_INITIALIZED), "Erro no Login - Pin nao inicializado");
}

}  // namespace
}  // namespace ankor::pkcs11
