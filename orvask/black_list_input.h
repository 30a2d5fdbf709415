#pragma once
// The input of "UpdateBlackList": Base64 of a JSON list of products.
#include <string>
#include <string_view>

#include "orvask/software.h"

namespace orvask {

// Base64 decoding that stops at "=" or at the first character outside the alphabet; a
// trailing partial group of 2 or 3 characters yields 1 or 2 bytes, a lone one nothing.
[[nodiscard]] std::string DecodeBase64(std::string_view text);

// Reads the "UpdateBlackList" input (base64 of {"content":[{"name","productcode",
// "version"},...]}) into `entries`, first product code wins, up to the first element
// without a name. False when the input is not JSON or has a shape it cannot be read in
// (an element that is not an object, null included, is such a shape).
[[nodiscard]] bool readBlackListInput(std::string_view base64, SoftwareMap& entries);

// The same for the decoded JSON text, read by JsonCpp at its default settings.
[[nodiscard]] bool readBlackListJson(std::string_view json, SoftwareMap& entries);

}  // namespace orvask
