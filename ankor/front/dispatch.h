// The command table of ankor and its result envelope.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/operations.h"

namespace ankor {

inline constexpr const char* kVersion = "1.2.8";

// Runs one command given the words after the program name. Returns the envelope
// ({"success": ...} or {"error": ...}), or nothing when fewer than three words
// were given and nothing is to be printed.
std::optional<nlohmann::json> dispatch(const std::vector<std::string>& args,
                                       Components& components);

// The envelope as printed: 4-space pretty form, members in name order, non-ASCII
// written as is, invalid UTF-8 replaced by U+FFFD, no trailing line break.
std::string renderEnvelope(const nlohmann::json& envelope);

}  // namespace ankor
