// The command line arrives in the ANSI code page: a cut is made between its
// characters, using the code page's lead bytes (IsDBCSLeadByteEx). In a single-byte
// code page (1252 and the like) every byte is a character and the cut is the byte count.
#include <windows.h>

#include "ankor/pkcs11/label.h"

namespace ankor::pkcs11 {

std::size_t codePageBoundary(const std::string& text, std::size_t maxBytes, unsigned codePage) {
  std::size_t end = 0;
  while (end < text.size()) {
    const bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[end])) != 0;
    const std::size_t next = end + (lead && end + 1 < text.size() ? 2 : 1);
    if (next > maxBytes) break;
    end = next;
  }
  return end;
}

std::string cutOnCharacter(const std::string& text, std::size_t maxBytes) {
  return text.substr(0, codePageBoundary(text, maxBytes, GetACP()));
}

}  // namespace ankor::pkcs11
