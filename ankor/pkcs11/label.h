// Where a key label is cut: at most a number of bytes, never inside a character. The
// label arrives as the command line gave it: UTF-8 on Linux, the ANSI code page on
// Windows (label_linux.cpp, label_win32.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace ankor::pkcs11 {

// The longest prefix of at most maxBytes bytes that ends on a character boundary.
std::string cutOnCharacter(const std::string& text, std::size_t maxBytes);

// The end of that prefix in UTF-8 (Linux): a cut never leaves a lead byte without its
// continuation bytes; it backs off over at most three of them, so bytes that are not
// UTF-8 are cut as bytes.
std::size_t utf8Boundary(const std::string& text, std::size_t maxBytes);

#ifdef _WIN32
// The end of that prefix in a code page (Windows): a cut never separates a lead byte
// of a double-byte code page from its trail byte.
std::size_t codePageBoundary(const std::string& text, std::size_t maxBytes, unsigned codePage);
#endif

}  // namespace ankor::pkcs11
