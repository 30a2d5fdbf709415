#include "ankor/pkcs11/inspect.h"

#include <algorithm>
#include <cstdio>

#include "ankor/pkcs11/components.h"
#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/manager.h"
#include "ankor/pkcs11/module.h"

namespace ankor::pkcs11 {
namespace {

using nlohmann::json;

std::string versionText(const CK_VERSION& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor);
}

template <std::size_t N>
std::string fieldText(const CK_UTF8CHAR (&field)[N]) {
  return fixedFieldText(field, N + 1);
}

json slotRecord(const P11Module& module, CK_SLOT_ID slot) {
  json record = {{"slotId", std::to_string(slot)}, {"slotDescription", nullptr},
                 {"tokenPresent", nullptr},        {"label", nullptr},
                 {"serial", nullptr},              {"model", nullptr},
                 {"flags", nullptr},               {"visible", false}};
  CK_SLOT_INFO slotInfo{};
  if (!P11_CALL(module, C_GetSlotInfo, slot, &slotInfo).ok()) return record;
  record["slotDescription"] = fieldText(slotInfo.slotDescription);
  const bool present = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
  record["tokenPresent"] = present;
  if (!present) return record;
  CK_TOKEN_INFO tokenInfo{};
  if (!P11_CALL(module, C_GetTokenInfo, slot, &tokenInfo).ok()) return record;
  const std::string serial = fieldText(tokenInfo.serialNumber);
  record["label"] = fieldText(tokenInfo.label);
  record["serial"] = serial;
  record["model"] = fieldText(tokenInfo.model);
  record["flags"] = tokenFlagWords(tokenInfo.flags);
  // The other token commands list a token only with a hexadecimal serial.
  record["visible"] = isUsableSerial(serial);
  return record;
}

// CK_INFO and the slots of a loaded, initialised module.
void describeLoaded(const P11Module& module, json& record) {
  CK_INFO info{};
  if (P11_CALL(module, C_GetInfo, &info).ok()) {
    record["cryptokiVersion"] = versionText(info.cryptokiVersion);
    record["manufacturerId"] = fieldText(info.manufacturerID);
    record["libraryDescription"] = fieldText(info.libraryDescription);
    record["libraryVersion"] = versionText(info.libraryVersion);
  }
  CK_ULONG count = 0;
  const CallResult listed = P11_CALL(module, C_GetSlotList, CK_BBOOL{CK_FALSE}, nullptr, &count);
  record["slotListResult"] = listed.code;
  if (!listed.ok() || count > kMaxSlotCount) return;
  std::vector<CK_SLOT_ID> slots(count);
  const CallResult filled =
      P11_CALL(module, C_GetSlotList, CK_BBOOL{CK_FALSE}, slots.data(), &count);
  record["slotListResult"] = filled.code;
  if (!filled.ok()) return;
  slots.resize(std::min<std::size_t>(count, slots.size()));
  for (const CK_SLOT_ID slot : slots) record["slots"].push_back(slotRecord(module, slot));
}

json moduleRecord(const ModuleRow& row, Loader& loader) {
  json record = {{"type", row.code},
                 {"path", row.firstLocation},
                 {"present", false},
                 {"loaded", false},
                 {"loadError", nullptr},
                 {"initialized", false},
                 {"initializeResult", nullptr},
                 {"cryptokiVersion", nullptr},
                 {"manufacturerId", nullptr},
                 {"libraryDescription", nullptr},
                 {"libraryVersion", nullptr},
                 {"slotListResult", nullptr},
                 {"slots", json::array()}};
  if (!loader.exists(row.firstLocation)) return record;
  record["present"] = true;
  P11Module module(row);
  try {
    module.load(loader);
  } catch (const LoadFailure& failure) {
    record["loadError"] = failure.systemText();
    return record;
  }
  record["loaded"] = true;
  if (const auto code = module.initializeResult()) record["initializeResult"] = *code;
  record["initialized"] = module.loaded();
  if (module.loaded()) describeLoaded(module, record);
  module.unload();
  return record;
}

}  // namespace

json tokenFlagWords(CK_FLAGS flags) {
  static constexpr std::pair<CK_FLAGS, const char*> kWords[] = {
      {CKF_LOGIN_REQUIRED, "loginRequired"},
      {CKF_USER_PIN_INITIALIZED, "userPinInitialized"},
      {CKF_PROTECTED_AUTHENTICATION_PATH, "protectedAuthenticationPath"},
      {CKF_USER_PIN_COUNT_LOW, "userPinCountLow"},
      {CKF_USER_PIN_FINAL_TRY, "userPinFinalTry"},
      {CKF_USER_PIN_LOCKED, "userPinLocked"},
      {CKF_TOKEN_INITIALIZED, "tokenInitialized"},
      {CKF_WRITE_PROTECTED, "writeProtected"},
  };
  json words = json::array();
  for (const auto& [flag, word] : kWords) {
    if ((flags & flag) != 0) words.push_back(word);
  }
  return words;
}

Records inspectModules(const std::string& typeCode, const std::vector<ModuleRow>& table,
                       Loader& loader) {
  Records records;
  for (const ModuleRow& row : table) {
    if (typeCode == "ND" || typeCode == row.code) records.push_back(moduleRecord(row, loader));
  }
  return records;
}

Records P11ModuleInspector::inspectModules(const std::string& typeCode) {
  return pkcs11::inspectModules(typeCode, moduleTable(), systemLoader());
}

ModuleInspector& moduleInspectorInstance() {
  static P11ModuleInspector inspector;
  return inspector;
}

}  // namespace ankor::pkcs11
