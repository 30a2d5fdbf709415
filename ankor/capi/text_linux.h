// Text conversions of the Linux back-end, whose process code page is UTF-8.
#pragma once

#include <string>

namespace ankor::capi {

// UTF-8 to UTF-16; false for bytes that are not well-formed UTF-8 (overlong forms,
// surrogates and values above U+10FFFF included).
bool utf8ToUtf16(const std::string& text, std::u16string* out);

// The text with each byte that is not part of a well-formed UTF-8 sequence replaced
// by U+FFFD (EF BF BD); well-formed text comes back unchanged.
std::string utf8WithReplacements(const std::string& text);

// UTF-16 to UTF-8; a zero or an unpaired surrogate ends the text, as an unconvertible
// character ends wcstombs.
std::string utf16ToUtf8(const std::u16string& text);

}  // namespace ankor::capi
