#include "ankor/pkcs11/module.h"

#include <stdexcept>

namespace ankor::pkcs11 {

P11Module::~P11Module() { unload(); }

void P11Module::load(Loader& loader) {
  if (!loader.exists(row_.firstLocation)) {
    throw std::runtime_error("Erro ao inicializar biblioteca fileExists");
  }
  LoadResult loaded = loader.load(row_.firstLocation);
  library_ = std::move(loaded.library);
  loadError_ = std::move(loaded.error);
  if (library_ == nullptr) throw LoadFailure(loadError_);
  const CallResult initialised = P11_CALL(*this, C_Initialize, nullptr);
  initializeResult_ = initialised.code;
  if (initialised.ok()) return;
  // A library that another code of this run already initialised (two codes naming
  // one file) must not be finalised under that code's feet; it is only released.
  if (initialised.code != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    (void)P11_CALL(*this, C_Finalize, nullptr);
  }
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
  const auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(entry);
  if (checkReturn("C_GetFunctionList", getFunctionList(&table)).ok()) table_ = table;
  return *table_;
}

}  // namespace ankor::pkcs11
