#include "ankor/pkcs11/label.h"

namespace ankor::pkcs11 {

std::string cutOnCharacter(const std::string& text, std::size_t maxBytes) {
  return text.substr(0, utf8Boundary(text, maxBytes));
}

}  // namespace ankor::pkcs11
