#include "ankor/capi/text_linux.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/utf8.h"

namespace ankor::capi {

bool utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size();) {
    const tarvo::Utf8Sequence sequence = tarvo::utf8SequenceAt(std::string_view(text).substr(i));
    const std::size_t length = sequence.length;
    std::uint32_t code = sequence.codePoint;
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
    const std::size_t length = tarvo::utf8SequenceAt(std::string_view(text).substr(i)).length;
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
    tarvo::appendUtf8(out, code);
  }
  return out;
}

}  // namespace ankor::capi
