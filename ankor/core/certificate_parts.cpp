#include "ankor/core/certificate_parts.h"

namespace ankor {

Bytes derInteger(const Bytes& content) {
  Bytes der = {0x02};
  const std::size_t length = content.size();
  if (length < 0x80) {
    der.push_back(static_cast<std::uint8_t>(length));
  } else {
    Bytes digits;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
      digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    }
    der.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
    der.insert(der.end(), digits.begin(), digits.end());
  }
  der.insert(der.end(), content.begin(), content.end());
  return der;
}

}  // namespace ankor
