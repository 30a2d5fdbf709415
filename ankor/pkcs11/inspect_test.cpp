// The inspection of a code's modules against a fake loader and one scripted module.
#include "ankor/pkcs11/inspect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ankor/pkcs11/module.h"

namespace ankor::pkcs11 {
namespace {

using nlohmann::json;

struct FakeSlot {
  CK_SLOT_ID id;
  std::string description;
  bool present = true;
  std::string label, serial, model;
  CK_FLAGS flags = 0;
  CK_RV slotInfo = CKR_OK;
  CK_RV tokenInfo = CKR_OK;
};

// The scripted module; every module the fake loader gives is this one.
struct Script {
  CK_RV initialize = CKR_OK;
  CK_RV info = CKR_OK;
  CK_RV slotList = CKR_OK;
  std::string manufacturer = "Fake Vendor";
  std::vector<FakeSlot> slots;
  std::vector<std::string> calls;
  bool slotListPresentOnly = false;  // the last C_GetSlotList asked for tokens only
} script;

template <std::size_t N>
void fill(CK_UTF8CHAR (&field)[N], const std::string& text) {
  std::memset(field, ' ', N);
  std::memcpy(field, text.data(), std::min(N, text.size()));
}

CK_RV Initialize(void*) { script.calls.push_back("C_Initialize"); return script.initialize; }
CK_RV Finalize(void*) { script.calls.push_back("C_Finalize"); return CKR_OK; }
CK_RV GetInfo(CK_INFO* info) {
  if (script.info != CKR_OK) return script.info;
  info->cryptokiVersion = {2, 40};
  fill(info->manufacturerID, script.manufacturer);
  info->flags = 0;
  fill(info->libraryDescription, "Fake module");
  info->libraryVersion = {1, 7};
  return CKR_OK;
}
CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* list, CK_ULONG* count) {
  script.slotListPresentOnly = tokenPresent == CK_TRUE;
  if (script.slotList != CKR_OK) return script.slotList;
  if (list != nullptr) {
    for (std::size_t i = 0; i < script.slots.size() && i < *count; ++i) list[i] = script.slots[i].id;
  }
  *count = script.slots.size();
  return CKR_OK;
}
const FakeSlot* slotOf(CK_SLOT_ID id) {
  for (const auto& slot : script.slots) {
    if (slot.id == id) return &slot;
  }
  return nullptr;
}
CK_RV GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO* info) {
  const FakeSlot* slot = slotOf(id);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  if (slot->slotInfo != CKR_OK) return slot->slotInfo;
  std::memset(info, 0, sizeof *info);
  fill(info->slotDescription, slot->description);
  fill(info->manufacturerID, "Reader Co");
  info->flags = slot->present ? CKF_TOKEN_PRESENT : 0;
  return CKR_OK;
}
CK_RV GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info) {
  script.calls.push_back("C_GetTokenInfo " + std::to_string(id));
  const FakeSlot* slot = slotOf(id);
  if (slot == nullptr || !slot->present) return CKR_TOKEN_NOT_PRESENT;
  if (slot->tokenInfo != CKR_OK) return slot->tokenInfo;
  std::memset(info, 0, sizeof *info);
  fill(info->label, slot->label);
  fill(info->serialNumber, slot->serial);
  fill(info->model, slot->model);
  fill(info->manufacturerID, "Token Co");
  info->flags = slot->flags;
  return CKR_OK;
}

class ScriptedLibrary final : public Library {
 public:
  void* symbol(const char* name) const override {
    static const std::map<std::string, void*> kSymbols = {
        {"C_Initialize", reinterpret_cast<void*>(&Initialize)},
        {"C_Finalize", reinterpret_cast<void*>(&Finalize)},
        {"C_GetInfo", reinterpret_cast<void*>(&GetInfo)},
        {"C_GetSlotList", reinterpret_cast<void*>(&GetSlotList)},
        {"C_GetSlotInfo", reinterpret_cast<void*>(&GetSlotInfo)},
        {"C_GetTokenInfo", reinterpret_cast<void*>(&GetTokenInfo)},
    };
    const auto found = kSymbols.find(name);
    if (found == kSymbols.end()) {
      // Anything else would be a session, a login or a write.
      script.calls.push_back(std::string("unexpected ") + name);
      return nullptr;
    }
    return found->second;
  }
};

class FakeLoader final : public Loader {
 public:
  std::set<std::string> present;
  std::map<std::string, std::string> refusals;  // path -> the system's reason
  bool exists(const std::string& path) override { return present.count(path) > 0; }
  LoadResult load(const std::string& path) override {
    script.calls.push_back("load " + path);
    if (const auto refused = refusals.find(path); refused != refusals.end()) {
      return {nullptr, refused->second};
    }
    return {std::make_unique<ScriptedLibrary>(), ""};
  }
};

const std::vector<ModuleRow> kTable = {{"GD", "/m/gd", "/s/gd"}, {"ET", "/m/et", "/s/et"},
                                       {"AT", "/m/at", "/s/at"}};

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    loader.present = {"/m/gd", "/m/et", "/m/at"};
  }
  FakeLoader loader;
};

// Each module of the code in table order, each described whatever the others did: a
// missing file, a file the loader refuses (its reason kept), a failed C_Initialize
// (its code), an initialised module; ND takes every row, an unknown code none.
TEST_F(InspectTest, EveryModuleIsDescribedInItsEntry) {
  loader.present.erase("/m/gd");
  loader.refusals["/m/et"] = "/m/et: invalid ELF header";
  const Records records = inspectModules("ND", kTable, loader);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].dump(),
            R"({"cryptokiVersion":null,"initializeResult":null,"initialized":false,)"
            R"("libraryDescription":null,"libraryVersion":null,"loadError":null,"loaded":false,)"
            R"("manufacturerId":null,"path":"/m/gd","present":false,"slotListResult":null,)"
            R"("slots":[],"type":"GD"})");
  EXPECT_EQ(records[1]["present"], true);
  EXPECT_EQ(records[1]["loaded"], false);
  EXPECT_EQ(records[1]["loadError"], "/m/et: invalid ELF header");
  EXPECT_EQ(records[1]["initializeResult"], nullptr);
  EXPECT_EQ(records[2]["loaded"], true);
  EXPECT_EQ(records[2]["initialized"], true);
  EXPECT_EQ(records[2]["initializeResult"], 0);
  EXPECT_EQ(records[2]["cryptokiVersion"], "2.40");
  EXPECT_EQ(records[2]["libraryVersion"], "1.7");
  EXPECT_EQ(records[2]["manufacturerId"], "Fake Vendor");
  EXPECT_EQ(records[2]["libraryDescription"], "Fake module");
  EXPECT_EQ(records[2]["slotListResult"], 0);
  EXPECT_EQ(inspectModules("ET", kTable, loader).size(), 1u);
  EXPECT_TRUE(inspectModules("XX", kTable, loader).empty());
  EXPECT_TRUE(inspectModules("gd", kTable, loader).empty());
}

// A module whose C_Initialize fails is loaded, not initialised, finalised and asked
// nothing more; the next module is still inspected.
TEST_F(InspectTest, FailedInitialisationIsReportedWithItsCode) {
  script.initialize = CKR_DEVICE_ERROR;
  const Records records = inspectModules("GD", kTable, loader);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["loaded"], true);
  EXPECT_EQ(records[0]["initialized"], false);
  EXPECT_EQ(records[0]["initializeResult"], CKR_DEVICE_ERROR);
  EXPECT_EQ(records[0]["cryptokiVersion"], nullptr);
  EXPECT_EQ(records[0]["slots"], json::array());
  EXPECT_EQ(script.calls, (std::vector<std::string>{"load /m/gd", "C_Initialize", "C_Finalize"}));
}

// Every slot, with or without a token; a present token's fields trimmed of their blank
// padding and its flags as words in their fixed order; a token with a serial that is
// not hexadecimal is there but not visible to the other commands.
TEST_F(InspectTest, SlotsAndTokens) {
  script.slots = {
      {3, "Reader one", true, "My Token", "0A1B2C3D", "Model X",
       CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED | CKF_RNG},
      {4, "Empty reader", false, "", "", ""},
      {7, "Reader locked", true, "Locked", "SN-12", "M",
       CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW |
           CKF_PROTECTED_AUTHENTICATION_PATH | CKF_WRITE_PROTECTED},
      {9, "Broken token", true, "", "", "", 0, CKR_OK, CKR_DEVICE_ERROR},
      {11, "", true, "", "", "", 0, CKR_SLOT_ID_INVALID},
  };
  const Records records = inspectModules("GD", kTable, loader);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(script.slotListPresentOnly);
  const json& slots = records[0]["slots"];
  ASSERT_EQ(slots.size(), 5u);
  EXPECT_EQ(slots[0].dump(),
            R"({"flags":["loginRequired","userPinInitialized","tokenInitialized"],)"
            R"("label":"My Token","model":"Model X","serial":"0A1B2C3D",)"
            R"("slotDescription":"Reader one","slotId":"3","tokenPresent":true,"visible":true})");
  EXPECT_EQ(slots[1].dump(),
            R"({"flags":null,"label":null,"model":null,"serial":null,)"
            R"("slotDescription":"Empty reader","slotId":"4","tokenPresent":false,"visible":false})");
  EXPECT_EQ(slots[2]["flags"], (json{"protectedAuthenticationPath", "userPinCountLow",
                                     "userPinFinalTry", "userPinLocked", "writeProtected"}));
  EXPECT_EQ(slots[2]["serial"], "SN-12");
  EXPECT_EQ(slots[2]["visible"], false);
  EXPECT_EQ(slots[3]["tokenPresent"], true);
  EXPECT_EQ(slots[3]["label"], nullptr);
  EXPECT_EQ(slots[3]["visible"], false);
  EXPECT_EQ(slots[4]["slotDescription"], nullptr);
  EXPECT_EQ(slots[4]["tokenPresent"], nullptr);
  // No token information is asked of a slot without a token, and nothing but the
  // read-only calls is looked up.
  for (const auto& call : script.calls) {
    EXPECT_NE(call, "C_GetTokenInfo 4");
    EXPECT_EQ(call.rfind("unexpected", 0), std::string::npos) << call;
  }
  EXPECT_EQ(script.calls.back(), "C_Finalize");
}

// A failing C_GetInfo or C_GetSlotList leaves its members null or empty, with the
// slot list's code.
TEST_F(InspectTest, FailingQueriesLeaveTheirMembersEmpty) {
  script.info = CKR_GENERAL_ERROR;
  script.slotList = CKR_DEVICE_REMOVED;
  script.slots = {{1, "never listed", true, "", "", ""}};
  const Records records = inspectModules("AT", kTable, loader);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["initialized"], true);
  EXPECT_EQ(records[0]["cryptokiVersion"], nullptr);
  EXPECT_EQ(records[0]["manufacturerId"], nullptr);
  EXPECT_EQ(records[0]["slotListResult"], CKR_DEVICE_REMOVED);
  EXPECT_EQ(records[0]["slots"], json::array());
}

// Bytes of a field that are not UTF-8 stay as they are in the record; the envelope
// printer replaces them (U+FFFD), so the printed text is always UTF-8.
TEST_F(InspectTest, FieldBytesAreKeptForThePrinter) {
  script.manufacturer = "Caf\xE9";
  const Records records = inspectModules("GD", kTable, loader);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["manufacturerId"], "Caf\xE9");
}

TEST(TokenFlagWords, NoFlagsNoWords) {
  EXPECT_EQ(tokenFlagWords(0), json::array());
  EXPECT_EQ(tokenFlagWords(CKF_RNG | CKF_CLOCK_ON_TOKEN), json::array());
}

}  // namespace
}  // namespace ankor::pkcs11
