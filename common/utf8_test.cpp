#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8SequenceAt, LengthAndCodePointOrNothing) {
  const struct {
    std::string bytes;
    std::size_t length;
    std::uint32_t codePoint;
  } cases[] = {
      {"A", 1, 0x41},
      {std::string(1, '\0'), 1, 0},
      {"\xC3\xA9z", 2, 0xE9},                 // only the first sequence counts
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xF0\x9F\x98\x80", 4, 0x1F600},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},      // the last code point
      {"\xEF\xBF\xBD", 3, 0xFFFD},
      {"", 0, 0},
      {"\x80", 0, 0},                         // a stray continuation byte
      {"\xC3", 0, 0},                         // cut short
      {"\xE2\x82", 0, 0},
      {"\xC3(", 0, 0},                        // not followed by a continuation byte
      {"\xC0\xAF", 0, 0},                     // overlong forms
      {"\xE0\x9F\xBF", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      {"\xED\xA0\x80", 0, 0},                 // a surrogate
      {"\xF4\x90\x80\x80", 0, 0},             // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", 0, 0},         // no five-byte forms
      {"\xFF", 0, 0},
  };
  for (const auto& c : cases) {
    const tarvo::Utf8Sequence sequence = tarvo::utf8SequenceAt(c.bytes);
    EXPECT_EQ(sequence.length, c.length) << c.bytes;
    EXPECT_EQ(sequence.codePoint, c.codePoint) << c.bytes;  // 0 when there is none
  }
}

}  // namespace
