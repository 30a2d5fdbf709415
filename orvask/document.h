#pragma once
// The verdict document of a verification, and its codes.
#include <string>

#include "orvask/software.h"

namespace orvask {

// Verdict codes of the result document.
inline constexpr int kMachineReleased = 0;
inline constexpr int kDriveFailed = 0xF00B;         // 61451
inline constexpr int kBlackListEmpty = 0xF015;      // 61461
inline constexpr int kBlackListedFound = 0xF018;    // 61464
inline constexpr int kBlackListUpdated = 0xF019;    // 61465
inline constexpr int kNewSoftwareFound = 0xF022;    // 61474

// The verdict document as JsonCpp's default stream writer prints it (no line end).
[[nodiscard]] std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound);

}  // namespace orvask
