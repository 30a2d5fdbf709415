// Helpers shared by the CryptoAPI operations' tests: the failure tables.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "ankor/capi/fake_platform.h"

namespace ankor::capi {

// One platform call failing, and the message the operation must then give.
template <class Input>
struct FailureCase {
  const char* call;     // the FakePlatform call that fails ("none": nothing fails)
  int occurrence;       // which of its calls fails (0: every one)
  std::uint32_t error;  // the last error it leaves
  Input input;          // what else the case varies: provider, flags...
  std::string message;
};

// How an operation reports a failure: returned as {"error":"<message>"}, or thrown.
enum class Reported { AsErrorText, Thrown };

// Runs every case on a fresh FakePlatform made ready by prepare(platform, input), the
// case's call failing: run(platform, input) calls the operation. The failure must be
// reported with the case's message, and every handle released.
template <class Input, std::size_t N, class Prepare, class Run>
void expectFailures(const FailureCase<Input> (&cases)[N], Reported reported, Prepare prepare,
                    Run run) {
  for (const FailureCase<Input>& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.occurrence));
    FakePlatform platform;
    prepare(platform, c.input);
    platform.failOn(c.call, c.error, c.occurrence);
    if (reported == Reported::AsErrorText) {
      EXPECT_EQ(run(platform, c.input), R"({"error":")" + c.message + R"("})");
    } else {
      EXPECT_THAT([&] { run(platform, c.input); },
                  ::testing::ThrowsMessage<std::runtime_error>(c.message));
    }
    EXPECT_EQ(platform.openHandles, 0) << "a handle was not released";
  }
}

}  // namespace ankor::capi
