#pragma once
// The verdict document of a verification, and its codes.
#include <string>
#include <string_view>

#include "orvask/software.h"

namespace orvask {

// Verdict codes of the result document.
inline constexpr int kMachineReleased = 0;
inline constexpr int kDriveFailed = 0xF00B;         // 61451
inline constexpr int kBlackListEmpty = 0xF015;      // 61461
inline constexpr int kBlackListedFound = 0xF018;    // 61464
inline constexpr int kBlackListUpdated = 0xF019;    // 61465
inline constexpr int kNewSoftwareFound = 0xF022;    // 61474

// The verdict document, written by JsonCpp's stream writer at its default settings (no
// line end). Every text goes through wellFormedUtf8 first.
[[nodiscard]] std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound);

// The text with every byte that is not part of a well-formed UTF-8 sequence replaced by
// U+FFFD, one for each such byte: a stray byte of a legacy code page never takes the
// characters after it along, and the writer sees only well-formed text.
[[nodiscard]] std::string wellFormedUtf8(std::string_view text);

}  // namespace orvask
