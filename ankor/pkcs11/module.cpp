#include <stdexcept>

#include "ankor/digest/digest.h"
#include "ankor/pkcs11/p11.h"

namespace ankor::pkcs11 {

P11Module::~P11Module() { unload(); }

void P11Module::load(Loader& loader) {
  if (!loader.exists(row_.firstLocation)) {
    throw std::runtime_error("Erro ao inicializar biblioteca fileExists");
  }
  library_ = loader.load(row_.firstLocation);
  if (library_ == nullptr) throw std::runtime_error("Erro ao inicializar biblioteca LoadLibrary");
  const CK_RV rv = P11_CALL(*this, C_Initialize, nullptr);
  if (rv == CKR_OK) return;
  // A library that another code of this run already initialised (two codes naming
  // one file) must not be finalised under that code's feet; it is only released.
  if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) (void)P11_CALL(*this, C_Finalize, nullptr);
  library_.reset();
}

void P11Module::unload() noexcept {
  if (library_ == nullptr) return;
  (void)P11_CALL(*this, C_Finalize, nullptr);
  library_.reset();
  table_.reset();
}

const CK_FUNCTION_LIST* P11Module::functionTable() const {
  if (table_) return *table_;
  table_ = nullptr;
  void* entry = library_ ? library_->symbol("C_GetFunctionList") : nullptr;
  if (entry == nullptr) return nullptr;
  CK_FUNCTION_LIST* table = nullptr;
  if (reinterpret_cast<CK_C_GetFunctionList>(entry)(&table) == CKR_OK) table_ = table;
  return *table_;
}

DigestTemplate digestTemplate(const std::string& hashName) {
  const DigestAlgorithm algorithm = digestAlgorithmNamed(hashName);
  return {algorithm, digestInfoPrefix(algorithm), digestLength(algorithm)};
}

Bytes digestInfo(const DigestTemplate& chosen, const Bytes& digest) {
  Bytes info = chosen.prefix;
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

std::uint64_t memoryFigure(CK_ULONG value) {
  return value == CK_UNAVAILABLE_INFORMATION ? 0xFFFFFFFFu : static_cast<std::uint64_t>(value);
}

std::string loginFailureText(CK_RV rv) {
  switch (rv) {
    case CKR_OK: return "";
    case CKR_PIN_INCORRECT: return "Erro no Login - Pin incorreto";
    case CKR_PIN_INVALID: return "Erro no Login - Pin invalido";
    case CKR_PIN_LEN_RANGE: return "Erro no Login - Tamanho do Pin invalido";
    case CKR_PIN_EXPIRED: return "Erro no Login - Pin expirado";
    case CKR_PIN_LOCKED: return "Erro no Login - Pin bloqueado";
    case CKR_ARGUMENTS_BAD: return "Erro no Login - Argumentos invalidos";
    default: return "Erro no Login - Erro Generico";
  }
}

std::string deviceFailureText(CK_RV rv) {
  switch (rv) {
    case CKR_DEVICE_ERROR: return "Erro no dispositivo";
    case CKR_DEVICE_MEMORY: return "Dispositivo sem mem\xC3\xB3ria";
    case CKR_DEVICE_REMOVED: return "Dispositivo removido";
    default: return std::to_string(rv);
  }
}

}  // namespace ankor::pkcs11
