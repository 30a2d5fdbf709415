#include "ankor/capi/text_linux.h"

#include <cstddef>
#include <cstdint>

namespace ankor::capi {
namespace {

// The length of the well-formed UTF-8 sequence at text[i] (its code point in *code),
// or 0 when the bytes there are not one.
std::size_t decodeAt(const std::string& text, std::size_t i, std::uint32_t* code) {
  const auto c = static_cast<unsigned char>(text[i]);
  std::size_t extra = 0;
  if (c < 0x80) {
    *code = c;
  } else if ((c & 0xE0) == 0xC0) {
    *code = c & 0x1F, extra = 1;
  } else if ((c & 0xF0) == 0xE0) {
    *code = c & 0x0F, extra = 2;
  } else if ((c & 0xF8) == 0xF0) {
    *code = c & 0x07, extra = 3;
  } else {
    return 0;
  }
  if (i + extra >= text.size()) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto d = static_cast<unsigned char>(text[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    *code = (*code << 6) | (d & 0x3F);
  }
  static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (*code < kMinimum[extra] || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) {
    return 0;
  }
  return extra + 1;
}

}  // namespace

bool utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = decodeAt(text, i, &code);
    if (length == 0) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return true;
}

std::string utf8WithReplacements(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = decodeAt(text, i, &code);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code == 0) break;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) break;
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      break;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace ankor::capi
