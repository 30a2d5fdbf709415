#include "orvask/product_property.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace orvask {
namespace {

// A property call that answers from a script: each answer is the status, the length it
// reports and the bytes it writes (at most the offered length). Records the offers.
struct ScriptedCall {
  struct Answer {
    std::uint32_t status;
    std::uint32_t length;
    std::string bytes;
  };
  std::vector<Answer> answers;
  std::vector<std::uint32_t> offered;

  PropertyCall call() {
    return [this](char* buffer, std::uint32_t& length) -> std::uint32_t {
      offered.push_back(length);
      if (offered.size() > answers.size()) return 1605;  // ERROR_UNKNOWN_PRODUCT
      const Answer& a = answers[offered.size() - 1];
      std::memcpy(buffer, a.bytes.data(), std::min<std::size_t>(a.bytes.size(), length));
      length = a.length;
      return a.status;
    };
  }
};

TEST(ReadPropertyText, Table) {
  const std::string longName(300, 'n');
  const std::string maxText(kMaxPropertyLength, 'p');
  struct Case {
    const char* what;
    std::vector<ScriptedCall::Answer> answers;
    std::string expected;
    std::vector<std::uint32_t> offered;
  };
  const Case cases[] = {
      {"fits", {{0, 5, std::string("Alpha\0", 6)}}, "Alpha", {12}},
      {"read again in full", {{kPropertyMoreData, 300, ""}, {0, 300, longName + '\0'}}, longName, {12, 301}},
      {"cannot be read", {{1605, 0, "stale"}}, "", {12}},
      {"second read fails", {{kPropertyMoreData, 20, ""}, {1605, 0, ""}}, "", {12, 21}},
      // A reported length that wraps or is absurd is not allocated.
      {"length near 2^32", {{kPropertyMoreData, 0xFFFFFFFFu, ""}}, "", {12}},
      {"length at the bound", {{kPropertyMoreData, kMaxPropertyLength, ""}, {0, kMaxPropertyLength, maxText + '\0'}},
       maxText, {12, kMaxPropertyLength + 1}},
      {"length beyond the bound", {{kPropertyMoreData, kMaxPropertyLength + 1, ""}}, "", {12}},
      // An unterminated answer stops at the end of the buffer.
      {"no terminating zero", {{0, 12, std::string(12, 'x')}}, std::string(12, 'x'), {12}},
  };
  for (const Case& c : cases) {
    ScriptedCall script{c.answers, {}};
    EXPECT_EQ(readPropertyText(12, script.call()), c.expected) << c.what;
    EXPECT_EQ(script.offered, c.offered) << c.what;
  }
  ScriptedCall never{{}, {}};
  EXPECT_EQ(readPropertyText(0, never.call()), "");
  EXPECT_TRUE(never.offered.empty());
}

}  // namespace
}  // namespace orvask
