#include "ankor/front/command_table.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "ankor/front/dispatch.h"
#include "ankor/front/fake_components.h"

namespace ankor {
namespace {

using nlohmann::json;
using Args = std::vector<std::string>;
using fakes::FakeComponents;

// The command line's contract: every command's words, the number of words it needs
// and what its own handler reports with the failure's message.
struct Contract {
  Args words;
  std::size_t minimum;
  Catches catches;
};
const Contract kContract[] = {
    {{"system", "info", "version"}, 3, Catches::Outermost},
    {{"system", "info", "modules"}, 4, Catches::RuntimeError},
    {{"capi", "list", "csp"}, 3, Catches::AnyStdException},
    {{"capi", "list", "countContainer"}, 5, Catches::RuntimeError},
    {{"capi", "list", "listContainer"}, 5, Catches::RuntimeError},
    {{"capi", "list", "certificates"}, 3, Catches::AnyStdException},
    {{"capi", "crypt", "sign"}, 7, Catches::AnyStdException},
    {{"capi", "crypt", "signList"}, 6, Catches::AnyStdException},
    {{"capi", "repo", "createKeyPair"}, 12, Catches::Nothing},
    {{"capi", "repo", "generateCSR"}, 7, Catches::Outermost},
    {{"capi", "repo", "importCertificate"}, 7, Catches::AnyStdException},
    {{"pkcs11", "list", "tokens"}, 4, Catches::RuntimeError},
    {{"pkcs11", "list", "certificates"}, 4, Catches::RuntimeError},
    {{"pkcs11", "list", "certificateDetails"}, 4, Catches::RuntimeError},
    {{"pkcs11", "list", "objects"}, 6, Catches::RuntimeError},
    {{"pkcs11", "crypt", "sign"}, 9, Catches::RuntimeError},
    {{"pkcs11", "crypt", "signList"}, 8, Catches::RuntimeError},
    {{"pkcs11", "crypt", "signWithKeyId"}, 10, Catches::RuntimeError},
    {{"pkcs11", "repo", "createKeyPair"}, 8, Catches::RuntimeError},
    {{"pkcs11", "repo", "getPublicKey"}, 6, Catches::RuntimeError},
    {{"pkcs11", "repo", "importCertificate"}, 9, Catches::RuntimeError},
};

Args wordsOf(const Command& row) { return {row.command, row.group, row.operation}; }
std::string nameOf(const Command& row) {
  return std::string(row.command) + " " + row.group + " " + row.operation;
}

// A word that a conversion takes.
const char* validWord(Conversion conversion) {
  switch (conversion) {
    case Conversion::Integer: return "7";
    case Conversion::Boolean: return "true";
    case Conversion::Base64Text: return "W10=";  // "[]"
    case Conversion::Base64Bytes: return "QUJD";
    case Conversion::Pin: return "1234";
    default: return "word";
  }
}

// The command's words and a valid word for every position it reads.
Args fullCommand(const Command& row) {
  Args args = wordsOf(row);
  args.resize(minimumArguments(row), "word");
  for (const Parameter& parameter : row.parameters)
    args[parameter.position - 1] = validWord(parameter.conversion);
  return args;
}

// Each row says what the contract says, and every command of the contract has a row.
TEST(CommandTable, RowsFollowTheContract) {
  const auto& table = commandTable();
  for (const Contract& contract : kContract) {
    std::size_t rows = 0;
    for (const Command& row : table) {
      if (wordsOf(row) != contract.words) continue;
      ++rows;
      EXPECT_EQ(minimumArguments(row), contract.minimum) << nameOf(row);
      EXPECT_EQ(row.catches, contract.catches) << nameOf(row);
    }
    EXPECT_EQ(rows, 1u) << contract.words[2];
  }
  EXPECT_EQ(table.size(), std::size(kContract));
}

// Each row lists its positions once, in ascending order, from 4 on; "pkcs11" rows
// read the type code at 4 and a token row its serial at 5.
TEST(CommandTable, ParametersAreOrderedPositions) {
  for (const Command& row : commandTable()) {
    std::size_t previous = 3;
    for (const Parameter& parameter : row.parameters) {
      EXPECT_GT(parameter.position, previous) << nameOf(row);
      previous = parameter.position;
    }
    if (std::string(row.command) == "pkcs11") {
      ASSERT_FALSE(row.parameters.empty()) << nameOf(row);
      EXPECT_EQ(row.parameters[0].position, 4u) << nameOf(row);
    }
    if (row.target == Target::Token) {
      ASSERT_GE(row.parameters.size(), 2u) << nameOf(row);
      EXPECT_EQ(row.parameters[1].position, 5u) << nameOf(row);
    }
  }
}

// With its minimum number of words a command calls its operation; one word fewer is
// "Erro desconhecido." and calls nothing.
TEST(CommandTable, EveryRowRunsWithItsMinimumAndFailsWithOneLess) {
  for (const Command& row : commandTable()) {
    const Args args = fullCommand(row);
    FakeComponents fake;
    const auto envelope = dispatch(args, fake);
    ASSERT_TRUE(envelope.has_value()) << nameOf(row);
    EXPECT_EQ(envelope->count("success"), 1u) << nameOf(row) << " " << *envelope;
    if (args.size() == 3) continue;
    FakeComponents shorter;
    const auto failed = dispatch(Args(args.begin(), args.end() - 1), shorter);
    ASSERT_TRUE(failed.has_value()) << nameOf(row);
    EXPECT_EQ(*failed, (json{{"error", "Erro desconhecido."}})) << nameOf(row);
    EXPECT_TRUE(shorter.calls.empty()) << nameOf(row) << " " << shorter.calls.front();
  }
}

// A failure of the operation is reported as the row's own handler says: "error" after
// a runtime_error, another std::exception and anything else thrown.
TEST(CommandTable, EveryRowCatchesAsItsPolicySays) {
  const json message = "runtime message", other = "other message", unknown = "Erro desconhecido.";
  const std::map<Catches, std::array<json, 3>> reported = {
      {Catches::Outermost, {message, unknown, unknown}},
      {Catches::Nothing, {nullptr, nullptr, nullptr}},
      {Catches::RuntimeError, {message, nullptr, nullptr}},
      {Catches::AnyStdException, {message, other, nullptr}},
  };
  using fakes::Outcome;
  const Outcome outcomes[] = {Outcome::ThrowRuntime, Outcome::ThrowOtherStd, Outcome::ThrowNonStd};
  for (const Command& row : commandTable()) {
    if (std::string(row.operation) == "version") continue;  // calls no operation
    for (std::size_t i = 0; i < 3; ++i) {
      FakeComponents fake;
      fake.outcome = outcomes[i];
      const auto envelope = dispatch(fullCommand(row), fake);
      ASSERT_TRUE(envelope.has_value()) << nameOf(row);
      EXPECT_FALSE(fake.calls.empty()) << nameOf(row);
      EXPECT_EQ(*envelope, (json{{"error", reported.at(row.catches)[i]}}))
          << nameOf(row) << " outcome " << i;
    }
  }
}

}  // namespace
}  // namespace ankor
