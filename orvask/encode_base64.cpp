#include "orvask/encode_base64.h"

namespace orvask {

std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned accumulator = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
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

}  // namespace orvask
