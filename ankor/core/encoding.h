// Encodings and small text utilities shared by the whole of ankor.
// None of them reports an error: each returns a result for any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ankor {

using Bytes = std::vector<std::uint8_t>;

// RFC 4648 Base64 on one line, "=" padding, no line breaks.
std::string base64Encode(const std::uint8_t* data, std::size_t size);
std::string base64Encode(const Bytes& data);

// Lenient Base64 decoder. Line feeds and carriage returns are dropped wherever they
// stand; every other byte counts. Padding may be left out: a tail of two or three
// characters after the last whole group of four (its own trailing "=" dropped) is
// decoded as if padded, giving one or two bytes; a single leftover character carries
// no byte and is ignored. The result then has (n / 4) * 3 - pad bytes, zero-filled
// where no group wrote (a "=" inside the text shortens a group but not the result),
// and no group ever writes past the result's end.
Bytes base64Decode(std::string_view text);

// Lower-case hexadecimal, two digits per byte.
std::string hexEncode(const std::uint8_t* data, std::size_t size);
std::string hexEncode(const Bytes& data);

// Decodes pairs of lower-case digits; any other character (upper-case A-F included)
// counts as 15, and a last unpaired character is dropped.
Bytes hexDecode(std::string_view text);

// The same bytes in reverse order.
Bytes reverseBytes(const std::uint8_t* data, std::size_t size);

// Text of a blank-padded fixed-width field: the first size - 1 bytes up to the first
// zero byte, with white space trimmed from the end and then from the start.
std::string fixedFieldText(const void* field, std::size_t size);

// count distinct characters drawn from the 62 letters and digits (all 62 when count
// is larger), from a Mersenne Twister seeded by the system's random device.
std::string randomAlphanumeric(std::size_t count);

// A command-line boolean: true when the word, lower-cased and after leading white
// space, begins with "true"; false for everything else.
bool parseBoolWord(std::string_view word);

// True when the file system has status information for the path. Does not open it.
bool fileExists(const std::string& path);

// The bytes up to the first zero byte (or all of them) as text.
std::string textUpToZero(const Bytes& bytes);

// Zeroes a buffer in a way the compiler may not drop as a dead store (PINs).
void secureWipe(void* data, std::size_t size) noexcept;

// C atoi rules: leading white space, optional sign, digits up to the first other
// character; 0 without digits. Saturates instead of overflowing.
int parseAtoi(std::string_view word);

}  // namespace ankor
