// How Cryptoki answers become ankor's results: every return code of every call passes
// through checkReturn, which names the call and the code; the texts the host reads
// for login and device failures; the failure without a message; a module that would
// not load.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "ankor/pkcs11/cryptoki.h"

namespace ankor::pkcs11 {

// What one Cryptoki call answered: the function's name and its return code. Callers
// check it, map it to their text, or drop it with (void) where the code is not examined.
struct [[nodiscard]] CallResult {
  const char* function;
  CK_RV code;

  [[nodiscard]] bool ok() const noexcept { return code == CKR_OK; }
  // "<function>, rv: <code in decimal>", as the failure texts quote a call.
  [[nodiscard]] std::string text() const;
};

// The one place a Cryptoki return code becomes a result (P11Module::call): the named
// call and its code.
CallResult checkReturn(const char* function, CK_RV code) noexcept;

// "Erro ao inicializar biblioteca <code>: <function> 0x<code in 8 upper-case hex
// digits>": the answer when no usable token was found and this module failed to start.
std::string startFailureText(const std::string& code, const CallResult& failed);

// The texts of a login refused before it is tried (the token's state, or no PIN for a
// token without a PIN pad).
inline constexpr const char* kPinLocked = "Erro no Login - Pin bloqueado";
inline constexpr const char* kPinNotInitialized = "Erro no Login - Pin nao inicializado";
inline constexpr const char* kNoPinGiven = "PIN nao informado";

// The login result text of a C_Login return code; empty for CKR_OK.
std::string loginFailureText(CK_RV rv);
// The reason that follows "Erro na geracao do par de chaves: " and
// "Erro na importação do certificado: ".
std::string deviceFailureText(CK_RV rv);

// The failure without a message. It is deliberately not a std::exception, so the
// front end reports it as "error": null inside an operation's own handler.
struct NoSessionOpen {
  const char* text = "NO SESSION OPEN";
};

// "Erro ao inicializar biblioteca LoadLibrary", with the system's own reason
// (dlerror() / GetLastError() and its text) for the callers that report it.
class LoadFailure : public std::runtime_error {
 public:
  explicit LoadFailure(std::string systemText)
      : std::runtime_error("Erro ao inicializar biblioteca LoadLibrary"),
        systemText_(std::move(systemText)) {}
  [[nodiscard]] const std::string& systemText() const noexcept { return systemText_; }

 private:
  std::string systemText_;
};

}  // namespace ankor::pkcs11
