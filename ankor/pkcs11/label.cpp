#include "ankor/pkcs11/label.h"

namespace ankor::pkcs11 {

std::size_t utf8Boundary(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  auto continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  // text[maxBytes] is the first byte left out: when it continues a sequence, that
  // sequence starts at most three bytes earlier.
  std::size_t cut = maxBytes;
  while (cut > 0 && maxBytes - cut < 3 && continuation(cut)) --cut;
  return continuation(cut) ? maxBytes : cut;
}

}  // namespace ankor::pkcs11
