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

// appendUtf8 writes each length's first and last code point as the reader reads it back.
TEST(Utf8, AppendWritesWhatTheReaderReads) {
  for (const std::uint32_t c : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu,
                                0x10000u, 0x10FFFFu}) {
    std::string text;
    tarvo::appendUtf8(text, c);
    const auto sequence = tarvo::utf8SequenceAt(text);
    EXPECT_EQ(sequence.length, text.size()) << c;
    EXPECT_EQ(sequence.codePoint, c) << c;
  }
  std::string text;
  tarvo::appendUtf8(text, 0xE9);
  EXPECT_EQ(text, "\xC3\xA9");
}

}  // namespace
