#pragma once
// Reading one text property of an installed product through a call that follows the
// buffer convention of MsiGetProductInfoExA: the caller offers a buffer and its size in
// characters; the call answers 0 and the length of the text, or 234 (ERROR_MORE_DATA)
// and the length the text needs without its terminating zero.
#include <cstdint>
#include <functional>
#include <string>

namespace orvask {

inline constexpr std::uint32_t kPropertyMoreData = 234;  // ERROR_MORE_DATA
// Longest property text read in full (this many characters are read; a longer answer
// is a platform fault, not a value).
inline constexpr std::uint32_t kMaxPropertyLength = 65535;

using PropertyCall = std::function<std::uint32_t(char* buffer, std::uint32_t& length)>;

// The property text: read into a zeroed buffer of `bufferSize` characters, read again in
// full when it does not fit (up to kMaxPropertyLength), empty when it cannot be read.
// Never reads past the buffer, whatever the call answers.
[[nodiscard]] std::string readPropertyText(std::uint32_t bufferSize, const PropertyCall& call);

}  // namespace orvask
