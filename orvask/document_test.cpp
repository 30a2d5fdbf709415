#include "orvask/document.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace orvask {
namespace {

// Well-formed sequences stay as they are; each byte outside one becomes U+FFFD on its
// own, so what follows a bad byte is kept.
TEST(WellFormedUtf8, ReplacesEachIllFormedByte) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain ASCII \x01\x7f", "plain ASCII \x01\x7f"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"Jo\xc3\xa3o \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf", "Jo\xc3\xa3o \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf"},
      {"Jo\xe3o", "Jo" + r + "o"},                  // a legacy code-page letter
      {"cut \xc3", "cut " + r},                     // cut by the end
      {"\xe2\x82 x", r + r + " x"},                 // cut by the next character
      {"\xc0\xaf", r + r},                          // overlong
      {"\xe0\x80\xaf", r + r + r},
      {"\xed\xa0\x80", r + r + r},                  // surrogate
      {"\xf4\x90\x80\x80", r + r + r + r},          // beyond U+10FFFF
      {"\x80\xbf tail", r + r + " tail"},           // stray continuation bytes
      {"\xf8\x88\x80\x80\x80", r + r + r + r + r},  // five-byte form
      {"\xfe\xff", r + r},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(wellFormedUtf8(text), expected) << text;
}

}  // namespace
}  // namespace orvask
