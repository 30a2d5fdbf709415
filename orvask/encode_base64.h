#pragma once
// Base64 encoding for the tests, the benchmark and the fuzz targets: the program
// itself only decodes (black_list_input.h), so this stays out of orvask_core.
#include <string>
#include <string_view>

namespace orvask {

// Standard Base64 with "=" padding, the form hosts send the "UpdateBlackList" input in.
[[nodiscard]] std::string EncodeBase64(std::string_view bytes);

}  // namespace orvask
