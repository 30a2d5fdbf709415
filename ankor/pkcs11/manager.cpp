#include "ankor/pkcs11/manager.h"

#include <algorithm>
#include <stdexcept>

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
                       Loader& loader, const Digester& digester,
                       const CertificateDecoder* decoder)
    : digester_(&digester), decoder_(decoder) {
  for (const ModuleRow& row : table) {
    if (typeCode == "ND" || typeCode == row.code) modules_.push_back(std::make_unique<P11Module>(row));
  }
  // The first module that failed to start; it is the answer when no token is usable.
  std::string startFailure;
  for (auto& module : modules_) {
    module->load(loader);
    if (!module->loaded()) {
      // CKR_CRYPTOKI_ALREADY_INITIALIZED: the library of another code of the run.
      const std::optional<CK_RV> initialised = module->initializeResult();
      if (startFailure.empty() && initialised && *initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        startFailure = startFailureText(module->code(), checkReturn("C_Initialize", *initialised));
      }
      continue;
    }
    CK_ULONG count = 0;
    const CallResult listed = P11_CALL(*module, C_GetSlotList, CK_BBOOL{CK_TRUE}, nullptr, &count);
    if (!listed.ok() && startFailure.empty()) startFailure = startFailureText(module->code(), listed);
    if (!listed.ok() || count > kMaxSlotCount) continue;
    std::vector<CK_SLOT_ID> slots(count);
    (void)P11_CALL(*module, C_GetSlotList, CK_BBOOL{CK_TRUE}, slots.data(), &count);
    // The second call may report fewer slots; never read past what was allocated.
    slots.resize(std::min<std::size_t>(count, slots.size()));
    for (const CK_SLOT_ID slot : slots) {
      auto store = std::make_unique<P11Store>(*module, slot, *digester_, decoder_);
      if (isUsableSerial(store->serial())) stores_.push_back(std::move(store));
    }
  }
  // A stopped middleware service or a busy resource manager is not "no token". The
  // modules are finalised and unloaded as the members go.
  if (stores_.empty() && !startFailure.empty()) throw std::runtime_error(startFailure);
}

P11Manager::~P11Manager() {
  stores_.clear();
  for (auto& module : modules_) module->unload();
}

P11Manager& P11Manager::instance(const std::string& typeCode, const Digester& digester,
                                 const CertificateDecoder* decoder) {
  auto& manager = theManager();
  if (!manager) {
    manager =
        std::make_unique<P11Manager>(typeCode, moduleTable(), systemLoader(), digester, decoder);
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
  // "serial#slot" names one token exactly; a visible serial is hexadecimal, never "#".
  const std::size_t mark = serial.find('#');
  const std::string wantedSerial = serial.substr(0, mark);
  std::vector<P11Store*> found;
  std::string names;
  for (const auto& store : stores_) {
    const nlohmann::json info = store->getInfo();
    if (info["type"] != typeCode || info["serial"] != wantedSerial) continue;
    if (mark != std::string::npos && info["slotId"] != serial.substr(mark + 1)) continue;
    found.push_back(store.get());
    names += (names.empty() ? "" : ", ") + wantedSerial + "#" + info["slotId"].get<std::string>();
  }
  if (found.size() > 1) {
    // Never a login on a guess: the host names the token exactly.
    const std::size_t last = names.rfind(", ");
    names.replace(last, 2, " ou ");
    throw std::runtime_error("Serial ambiguo: " + std::to_string(found.size()) +
                             " tokens com o serial " + wantedSerial + "; informe " + names);
  }
  return found.empty() ? nullptr : found.front();
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

TokenManager& managerInstance(const std::string& typeCode, const Digester& digester,
                              const CertificateDecoder& decoder) {
  return P11Manager::instance(typeCode, digester, &decoder);
}

void releaseManager() noexcept { P11Manager::release(); }

}  // namespace ankor::pkcs11
