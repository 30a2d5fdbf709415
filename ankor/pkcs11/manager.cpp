#include "ankor/pkcs11/manager.h"

#include <algorithm>

#include "ankor/pkcs11/batch.h"
#include "ankor/pkcs11/components.h"

namespace ankor::pkcs11 {
namespace {

std::unique_ptr<P11Manager>& theManager() {
  static std::unique_ptr<P11Manager> manager;
  return manager;
}

constexpr const char* kNoCertificate = "Nenhum certificado encontrado com o thumbprint enviado";

}  // namespace

bool isUsableSerial(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

P11Manager::P11Manager(const std::string& typeCode, const std::vector<ModuleRow>& table,
                       Loader& loader, const Digester& digester)
    : digester_(&digester) {
  for (const ModuleRow& row : table) {
    if (typeCode == "ND" || typeCode == row.code) modules_.push_back(std::make_unique<P11Module>(row));
  }
  for (auto& module : modules_) {
    module->load(loader);
    if (!module->loaded()) continue;
    CK_ULONG count = 0;
    if (!P11_CALL(*module, C_GetSlotList, CK_BBOOL{CK_TRUE}, nullptr, &count).ok() ||
        count > kMaxSlotCount) {
      continue;
    }
    std::vector<CK_SLOT_ID> slots(count);
    (void)P11_CALL(*module, C_GetSlotList, CK_BBOOL{CK_TRUE}, slots.data(), &count);
    // The second call may report fewer slots; never read past what was allocated.
    slots.resize(std::min<std::size_t>(count, slots.size()));
    for (const CK_SLOT_ID slot : slots) {
      auto store = std::make_unique<P11Store>(*module, slot, *digester_);
      if (isUsableSerial(store->serial())) stores_.push_back(std::move(store));
    }
  }
}

P11Manager::~P11Manager() {
  stores_.clear();
  for (auto& module : modules_) module->unload();
}

P11Manager& P11Manager::instance(const std::string& typeCode, const Digester& digester) {
  auto& manager = theManager();
  if (!manager) {
    manager = std::make_unique<P11Manager>(typeCode, moduleTable(), systemLoader(), digester);
  }
  return *manager;
}

void P11Manager::release() noexcept { theManager().reset(); }

Records P11Manager::listTokens() {
  Records records;
  for (const auto& store : stores_) records.push_back(store->getInfo());
  return records;
}

Records P11Manager::listCertificates() {
  Records records;
  for (const auto& store : stores_) {
    for (auto& record : store->listCertificates()) records.push_back(std::move(record));
  }
  return records;
}

Records P11Manager::listCertificateDetails(const CertificateDecoder& decoder) {
  Records records;
  for (const auto& store : stores_) {
    for (auto& record : store->listCertificateDetails(decoder)) records.push_back(std::move(record));
  }
  return records;
}

TokenStore* P11Manager::findStore(const std::string& typeCode, const std::string& serial) {
  for (const auto& store : stores_) {
    const nlohmann::json info = store->getInfo();
    if (info["type"] == typeCode && info["serial"] == serial) return store.get();
  }
  return nullptr;
}

P11Store* P11Manager::storeWithCertificate(const std::string& thumbprint) {
  for (const auto& store : stores_) {
    const Records certificates = store->listCertificates();
    const bool match = std::any_of(certificates.begin(), certificates.end(), [&](const auto& c) {
      return c["thumbprint"] == thumbprint;
    });
    if (match) return store.get();
  }
  return nullptr;
}

std::string P11Manager::sign(const std::string& dataBase64, const std::string& thumbprint,
                             const std::string& pin, const std::string& hashName, bool isHash) {
  P11Store* store = storeWithCertificate(thumbprint);
  if (store == nullptr) return kNoCertificate;
  const std::string keyId = store->keyIdOfCertificate(thumbprint);
  return store->signWithKeyId(dataBase64, keyId, pin, hashName, isHash);
}

nlohmann::json P11Manager::signList(const std::string& thumbprint, const std::string& hashName,
                                    const std::string& pin, const nlohmann::json& document) {
  const std::vector<BatchItem> items = readBatch(document, hashName, *digester_);
  P11Store* store = storeWithCertificate(thumbprint);
  if (store == nullptr) return kNoCertificate;
  const std::string keyId = store->keyIdOfCertificate(thumbprint);
  return store->signBatch(keyId, pin, items);
}

TokenManager& managerInstance(const std::string& typeCode, const Digester& digester) {
  return P11Manager::instance(typeCode, digester);
}

void releaseManager() noexcept { P11Manager::release(); }

}  // namespace ankor::pkcs11
