// Base64 for tests, benchmarks and fuzz targets: an encoder of their own, so that they
// do not check a program's decoder with the same program's encoder.
#pragma once

#include <string>
#include <string_view>

namespace tarvo::testing {

// Standard Base64 (RFC 4648) with "=" padding, on one line.
inline std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  unsigned accumulator = 0;
  int bits = 0;
  for (const unsigned char c : bytes) {
    accumulator = ((accumulator << 8) | c) & 0xFFFFu;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(accumulator >> bits) & 63];
    }
  }
  if (bits > 0) out += kAlphabet[(accumulator << (6 - bits)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

}  // namespace tarvo::testing
