#include "ankor/pkcs11/error.h"

#include <cstdio>

namespace ankor::pkcs11 {

std::string CallResult::text() const {
  return std::string(function) + ", rv: " + std::to_string(code);
}

CallResult checkReturn(const char* function, CK_RV code) noexcept { return {function, code}; }

std::string startFailureText(const std::string& code, const CallResult& failed) {
  char number[11];
  std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(failed.code));
  return "Erro ao inicializar biblioteca " + code + ": " + failed.function + " " + number;
}

std::string loginFailureText(CK_RV rv) {
  switch (rv) {
    case CKR_OK: return "";
    case CKR_PIN_INCORRECT: return "Erro no Login - Pin incorreto";
    case CKR_PIN_INVALID: return "Erro no Login - Pin invalido";
    case CKR_PIN_LEN_RANGE: return "Erro no Login - Tamanho do Pin invalido";
    case CKR_PIN_EXPIRED: return "Erro no Login - Pin expirado";
    case CKR_PIN_LOCKED: return kPinLocked;
    case CKR_ARGUMENTS_BAD: return "Erro no Login - Argumentos invalidos";
    case CKR_USER_PIN_NOT_INITIALIZED: return kPinNotInitialized;
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
