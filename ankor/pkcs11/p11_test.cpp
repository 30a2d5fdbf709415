// The P11 logic against recording fakes: a fake loader and in-process fake modules
// whose Cryptoki functions record their calls and answer from a small object table.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ankor/pkcs11/p11.h"

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
  std::vector<FakeObject> objects;
  std::vector<CK_OBJECT_HANDLE> search;
};
std::array<FakeModuleState, 7> modules;
std::vector<std::string> calls;  // "N:C_Function" in call order

template <int N>
void note(const char* function) {
  calls.push_back(std::to_string(N) + ":" + function);
}

template <int N>
struct Fake {
  static CK_RV Initialize(void*) { note<N>("C_Initialize"); return modules[N].initialize; }
  static CK_RV Finalize(void*) { note<N>("C_Finalize"); return CKR_OK; }
  static CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
    auto& m = modules[N];
    if (list == nullptr) {
      *count = m.announcedSlots != 0 ? m.announcedSlots : m.slots.size();
      return CKR_OK;
    }
    const CK_ULONG n = std::min<CK_ULONG>(m.slotsOnSecondCall, m.slots.size());
    std::copy(m.slots.begin(), m.slots.begin() + n, list);
    *count = n;
    return CKR_OK;
  }
  static CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    std::memset(info, ' ', sizeof *info);
    const std::string serial = modules[N].serials[slot];
    std::memcpy(info->serialNumber, serial.data(), std::min(serial.size(), sizeof info->serialNumber));
    info->ulFreePublicMemory = 100000;
    return CKR_OK;
  }
  static CK_RV OpenSession(CK_SLOT_ID, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    note<N>(flags == (CKF_SERIAL_SESSION | CKF_RW_SESSION) ? "C_OpenSession rw" : "C_OpenSession ro");
    *session = modules[N].sessionHandle;
    return CKR_OK;
  }
  static CK_RV CloseSession(CK_SESSION_HANDLE) { note<N>("C_CloseSession"); return CKR_OK; }
  static CK_RV Login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG) { note<N>("C_Login"); return CKR_OK; }
  static CK_RV Logout(CK_SESSION_HANDLE) { note<N>("C_Logout"); return CKR_USER_NOT_LOGGED_IN; }
  static CK_RV FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    auto& m = modules[N];
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
  static CK_RV FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* found, CK_ULONG, CK_ULONG* count) {
    auto& m = modules[N];
    *count = 0;
    if (!m.search.empty()) {
      *found = m.search.back();
      if (!m.endlessSearch) m.search.pop_back();
      *count = 1;
    }
    return CKR_OK;
  }
  static CK_RV FindObjectsFinal(CK_SESSION_HANDLE) { return CKR_OK; }
  static CK_RV GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* a, CK_ULONG) {
    const FakeObject& o = modules[N].objects.at(object - 1);
    std::string value;
    if (a->type == CKA_CLASS) value.assign(reinterpret_cast<const char*>(&o.objectClass), sizeof o.objectClass);
    else if (a->type == CKA_ID) value = o.id;
    else if (a->type == CKA_LABEL) value = o.label;
    else if (a->type == CKA_VALUE || a->type == CKA_MODULUS) value = o.value;
    if (a->pValue != nullptr) std::memcpy(a->pValue, value.data(), std::min<std::size_t>(value.size(), a->ulValueLen));
    a->ulValueLen = value.size();
    if (a->pValue == nullptr && modules[N].announcedLength != 0) a->ulValueLen = modules[N].announcedLength;
    return CKR_OK;
  }
  static CK_RV SignInit(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE) { note<N>("C_SignInit"); return CKR_OK; }
  static CK_RV Sign(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE* signature, CK_ULONG* length) {
    if (signature != nullptr) std::memset(signature, 0xAB, std::min<CK_ULONG>(*length, modules[N].signatureLength));
    *length = modules[N].signatureLength;
    return CKR_OK;
  }
};

class FakeLibrary final : public Library {
 public:
  FakeLibrary(std::map<std::string, void*> symbols, int index) : symbols_(std::move(symbols)), index_(index) {}
  ~FakeLibrary() override { calls.push_back(std::to_string(index_) + ":unload"); }
  void* symbol(const char* name) const override {
    auto it = symbols_.find(name);
    return it == symbols_.end() ? nullptr : it->second;
  }

 private:
  std::map<std::string, void*> symbols_;
  int index_;
};

template <int N>
std::map<std::string, void*> symbolsOf() {
  using F = Fake<N>;
  return {{"C_Initialize", reinterpret_cast<void*>(&F::Initialize)},
          {"C_Finalize", reinterpret_cast<void*>(&F::Finalize)},
          {"C_GetSlotList", reinterpret_cast<void*>(&F::GetSlotList)},
          {"C_GetTokenInfo", reinterpret_cast<void*>(&F::GetTokenInfo)},
          {"C_OpenSession", reinterpret_cast<void*>(&F::OpenSession)},
          {"C_CloseSession", reinterpret_cast<void*>(&F::CloseSession)},
          {"C_Login", reinterpret_cast<void*>(&F::Login)},
          {"C_Logout", reinterpret_cast<void*>(&F::Logout)},
          {"C_FindObjectsInit", reinterpret_cast<void*>(&F::FindObjectsInit)},
          {"C_FindObjects", reinterpret_cast<void*>(&F::FindObjects)},
          {"C_FindObjectsFinal", reinterpret_cast<void*>(&F::FindObjectsFinal)},
          {"C_GetAttributeValue", reinterpret_cast<void*>(&F::GetAttributeValue)},
          {"C_SignInit", reinterpret_cast<void*>(&F::SignInit)},
          {"C_Sign", reinterpret_cast<void*>(&F::Sign)}};
}

// Files "present" exist; "load" of a path gives the fake module of its table index,
// without the functions listed in "missing".
class FakeLoader final : public Loader {
 public:
  std::set<std::string> present;
  std::set<std::string> unloadable;
  std::set<std::string> missing;
  std::vector<std::string> asked;

  bool exists(const std::string& path) override {
    asked.push_back("exists " + path);
    return present.count(path) > 0;
  }
  std::unique_ptr<Library> load(const std::string& path) override {
    asked.push_back("load " + path);
    if (unloadable.count(path)) return nullptr;
    const int index = path.back() - '0';
    static std::map<std::string, void*> (*const tables[])() = {
        symbolsOf<0>, symbolsOf<1>, symbolsOf<2>, symbolsOf<3>, symbolsOf<4>, symbolsOf<5>, symbolsOf<6>};
    auto symbols = tables[index]();
    for (const auto& name : missing) symbols.erase(name);
    return std::make_unique<FakeLibrary>(std::move(symbols), index);
  }
};

const std::vector<ModuleRow> kTable = {
    {"GD", "/m/0", "/s/0"}, {"ET", "/m/1", "/s/1"}, {"AT", "/m/2", "/s/2"}, {"BR", "/m/3", "/s/3"},
    {"OB", "/m/4", "/s/4"}, {"EP", "/m/5", "/s/5"}, {"DX", "/m/6", "/s/6"}};

class P11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    modules = {};
    calls.clear();
    for (const auto& row : kTable) loader.present.insert(row.firstLocation);
  }
  std::string errorOf(const std::string& code) {
    try {
      P11Manager manager(code, kTable, loader);
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
    P11Manager manager(code, kTable, loader);
    EXPECT_EQ(manager.storeCount(), 0u) << code;
  }
  EXPECT_TRUE(std::none_of(loader.asked.begin(), loader.asked.end(),
                           [](const std::string& a) { return a.find("/m/0") != std::string::npos; }));
}

// A failed C_Initialize: C_Finalize, unload, no slots; the next module goes on.
// CKR_CRYPTOKI_ALREADY_INITIALIZED is released without C_Finalize.
TEST_F(P11Test, FailedInitialisationDropsOnlyThatModule) {
  modules[0].initialize = CKR_DEVICE_ERROR;
  modules[1].initialize = CKR_CRYPTOKI_ALREADY_INITIALIZED;
  {
    P11Manager manager("ND", kTable, loader);
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
  P11Manager manager("GD", kTable, loader);
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
  P11Manager manager("GD", kTable, loader);
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

  loader.missing = {"C_GetSlotList"};
  P11Manager noSlots("GD", kTable, loader);
  EXPECT_EQ(noSlots.storeCount(), 0u);
}

// No session handle: a read-write session fails before the login, a read-only one
// goes on and fails at its close; both with the bare failure.
TEST_F(P11Test, NoSessionHandle) {
  modules[0].sessionHandle = 0;
  P11Manager manager("GD", kTable, loader);
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
  P11Manager manager("GD", kTable, loader);
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
  P11Manager manager("GD", kTable, loader);
  TokenStore* store = manager.findStore("GD", "00AA11");
  const std::string digest20 = base64Encode(Bytes(20, 1));
  EXPECT_EQ(store->signWithKeyId(digest20, "other", "1234", "sha1", true), "");
  EXPECT_EQ(store->signWithKeyId(digest20, "key", "1234", "sha256", true),
            "Tamanho data nao condiz com algoritmo utilizado");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "0:C_SignInit"), 0);
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
  P11Manager manager("GD", kTable, loader);
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
  P11Manager absurdSlots("GD", kTable, loader);
  EXPECT_EQ(absurdSlots.storeCount(), 0u);
  modules[0].announcedSlots = kMaxSlotCount;
  modules[0].slotsOnSecondCall = 1;
  P11Manager manySlots("GD", kTable, loader);
  EXPECT_EQ(manySlots.storeCount(), 1u);
}

// A module whose object search never reports its end: each search stops after
// kMaxFoundObjects handles and the operations finish.
TEST_F(P11Test, EndlessObjectSearchStops) {
  modules[0].objects = {{CKO_CERTIFICATE, "key", "c", "DER"},
                        {CKO_PUBLIC_KEY, "key", "p", "modulus"}};
  modules[0].endlessSearch = true;
  P11Manager manager("GD", kTable, loader);
  EXPECT_EQ(manager.listCertificates().size(), kMaxFoundObjects);
  TokenStore* store = manager.findStore("GD", "00AA11");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->getPublicKey(base64Encode(reinterpret_cast<const std::uint8_t*>("key"), 3)),
            "bW9kdWx1cw==");
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

}  // namespace
}  // namespace ankor::pkcs11
