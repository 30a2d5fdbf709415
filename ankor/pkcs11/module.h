// One vendor module of the run (P11Module): its table row and, once loaded, its
// library. Every Cryptoki function is looked up by name in the module at each call;
// one the module does not export by name is taken from the table its
// C_GetFunctionList returns, and one found in neither answers kMissingFunction.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ankor/pkcs11/cryptoki.h"
#include "ankor/pkcs11/error.h"
#include "ankor/pkcs11/loader.h"
#include "ankor/pkcs11/module_table.h"

namespace ankor::pkcs11 {

class P11Module {
 public:
  explicit P11Module(ModuleRow row) : row_(std::move(row)) {}
  ~P11Module();
  // A copy would finalise and unload the same library twice.
  P11Module(const P11Module&) = delete;
  P11Module& operator=(const P11Module&) = delete;
  P11Module(P11Module&& other) noexcept = default;
  P11Module& operator=(P11Module&&) = delete;

  // fileExists, LoadLibraryA and C_Initialize(NULL). Throws std::runtime_error with
  // "Erro ao inicializar biblioteca fileExists", or LoadFailure, which also keeps the
  // system's reason (as loadError() does). When C_Initialize fails the module is
  // finalised, unloaded and stays empty.
  void load(Loader& loader);
  // C_Finalize(NULL) and FreeLibrary, when loaded.
  void unload() noexcept;

  [[nodiscard]] bool loaded() const { return library_ != nullptr; }
  [[nodiscard]] const std::string& code() const { return row_.code; }
  // The system's reason of the last failed LoadLibraryA / dlopen; empty when none failed.
  [[nodiscard]] const std::string& loadError() const { return loadError_; }
  // What the last load's C_Initialize returned; empty when it was not called.
  [[nodiscard]] std::optional<CK_RV> initializeResult() const { return initializeResult_; }

  // GetProcAddress of the function, else its entry in the module's function table,
  // then the call; kMissingFunction when the module is not loaded or has neither.
  // Every answer passes through checkReturn.
  template <typename Fn, typename... Args>
  CallResult call(const char* name, Fn CK_FUNCTION_LIST::*entry, Args... args) const {
    if (library_ == nullptr) return checkReturn(name, kMissingFunction);
    auto function = reinterpret_cast<Fn>(library_->symbol(name));
    if (function == nullptr) {
      if (const CK_FUNCTION_LIST* table = functionTable()) function = table->*entry;
    }
    if (function == nullptr) return checkReturn(name, kMissingFunction);
    return checkReturn(name, function(args...));
  }

 private:
  // C_GetFunctionList of the module, asked once, the first time a function is not
  // exported by name; nullptr when the module has no such entry or it fails.
  const CK_FUNCTION_LIST* functionTable() const;

  ModuleRow row_;
  std::unique_ptr<Library> library_;
  std::string loadError_;
  std::optional<CK_RV> initializeResult_;
  mutable std::optional<const CK_FUNCTION_LIST*> table_;
};

// Calls the Cryptoki function FN of MODULE: by its exported name, else from the
// module's function table. Gives the CallResult.
#define P11_CALL(module, fn, ...) (module).call<CK_##fn>(#fn, &CK_FUNCTION_LIST::fn, __VA_ARGS__)

}  // namespace ankor::pkcs11
