#include "ankor/front/dispatch.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ankor/core/encoding.h"
#include "ankor/front/fake_components.h"

namespace ankor {
namespace {

using nlohmann::json;
using Args = std::vector<std::string>;

using fakes::FakeComponents;
using fakes::Outcome;

json run(FakeComponents& fake, const Args& args) {
  auto envelope = dispatch(args, fake);
  return envelope ? *envelope : json("nothing printed");
}

json error(json value) { return json{{"error", std::move(value)}}; }
json success(json value) { return json{{"success", std::move(value)}}; }

const Args kCapiCsp{"capi", "list", "csp"};
const Args kCount{"capi", "list", "countContainer", "Prov", "24"};
const Args kList{"capi", "list", "listContainer", "Prov", "24"};
const Args kSign{"capi", "crypt", "sign", "ab12", "sha1", "ZGF0YQ==", "true"};
const Args kSignList{"capi", "crypt", "signList", "ab12", "sha256", "W10="};
const Args kCreate{"capi", "repo", "createKeyPair", "Prov", "24", "Cont", "false", "TRUE",
                   "3000", "x", "Ana", "true"};
const Args kCsr{"capi", "repo", "generateCSR", "Prov", "1", "Cont", "Ana"};
const Args kImport{"capi", "repo", "importCertificate", "Prov", "24", "Cont", "MIIB"};
const Args kTokens{"pkcs11", "list", "tokens", "GD"};
const Args kCerts{"pkcs11", "list", "certificates", "GD"};
const Args kCertDetails{"pkcs11", "list", "certificateDetails", "GD"};
const Args kStoreCerts{"capi", "list", "certificates"};
const Args kModules{"system", "info", "modules", "ND"};
const Args kObjects{"pkcs11", "list", "objects", "GD", "0A1B", "1234"};
const Args kP11Sign{"pkcs11", "crypt", "sign", "GD", "ab12", "sha256", "1234", "ZGF0YQ==", "false"};
const Args kP11SignList{"pkcs11", "crypt", "signList", "GD", "ab12", "sha256", "1234", "W10"};
const Args kSignKeyId{"pkcs11", "crypt", "signWithKeyId", "GD", "0A1B", "QUJDRC1aZz09",
                      "sha1", "1234", "True", "ZGF0YQ=="};
const Args kP11Create{"pkcs11", "repo", "createKeyPair", "GD", "0A1B", "label", "2048", "1234"};
const Args kPublicKey{"pkcs11", "repo", "getPublicKey", "GD", "0A1B", "QUJD"};
const Args kP11Import{"pkcs11", "repo", "importCertificate", "GD", "0A1B", "QUJD", "label",
                      "1234", "MIIB"};

TEST(Dispatch, FewerThanThreeWordsPrintNothing) {
  FakeComponents fake;
  for (const Args& args : {Args{}, Args{"system"}, Args{"system", "info"}})
    EXPECT_FALSE(dispatch(args, fake).has_value());
}

TEST(Dispatch, VersionEnvelopeIsExact) {
  FakeComponents fake;
  const auto envelope = dispatch({"system", "info", "version", "ignored"}, fake);
  ASSERT_TRUE(envelope.has_value());
  const std::string printed = renderEnvelope(*envelope);
  EXPECT_EQ(printed, "{\n    \"success\": \"1.2.8\"\n}");
  EXPECT_EQ(printed.size(), 26u);
}

// Words are compared exactly; the first mismatching position names the error.
TEST(Dispatch, UnknownWordsByPosition) {
  FakeComponents fake;
  const std::pair<Args, const char*> cases[] = {
      {{"System", "info", "version"}, "Tipo de comando nao encontrado"},
      {{"system", "Info", "version"}, "Tipo de sub-comando nao encontrado"},
      {{"system", "list", "version"}, "Tipo de sub-comando nao encontrado"},
      {{"system", "info", "Version"}, "Comando nao encontrado"},
      {{"capi", "lists", "csp"}, "Tipo de sub-comando nao encontrado"},
      {{"capi", "list", "CSP"}, "Comando nao encontrado"},
      {{"capi", "crypt", "signlist"}, "Comando nao encontrado"},
      {{"capi", "repo", "csp"}, "Comando nao encontrado"},
      {{"pkcs11", "lists", "tokens", "GD"}, "Tipo de sub-comando nao encontrado"},
      {{"pkcs11", "list", "token", "GD"}, "Comando nao encontrado"},
      {{"pkcs11", "crypt", "tokens", "GD"}, "Comando nao encontrado"},
      {{"pkcs11", "repo", "sign", "GD"}, "Comando nao encontrado"},
  };
  for (const auto& [args, message] : cases) EXPECT_EQ(run(fake, args), error(message)) << args[0];
  EXPECT_TRUE(fake.calls.empty());
}

// Which failures keep their message in each command's own handler, and which
// become "error": null or reach the outermost handler.
TEST(Dispatch, HandlerTable) {
  struct Case {
    const Args* args;
    json runtime, otherStd, nonStd;
  };
  const json msg = "runtime message", other = "other message", unknown = "Erro desconhecido.";
  const Case cases[] = {
      {&kCapiCsp, msg, other, nullptr},   {&kCount, msg, nullptr, nullptr},
      {&kList, msg, nullptr, nullptr},    {&kSign, msg, other, nullptr},
      {&kSignList, msg, other, nullptr},  {&kCreate, nullptr, nullptr, nullptr},
      {&kCsr, msg, unknown, unknown},     {&kImport, msg, other, nullptr},
      {&kTokens, msg, nullptr, nullptr},  {&kCerts, msg, nullptr, nullptr},
      {&kObjects, msg, nullptr, nullptr}, {&kP11Sign, msg, nullptr, nullptr},
      {&kP11SignList, msg, nullptr, nullptr},
      {&kSignKeyId, msg, nullptr, nullptr}, {&kP11Create, msg, nullptr, nullptr},
      {&kPublicKey, msg, nullptr, nullptr}, {&kP11Import, msg, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const std::string name = (*c.args)[0] + " " + (*c.args)[2];
    for (const auto& [outcome, expected] :
         {std::pair{Outcome::ThrowRuntime, c.runtime}, std::pair{Outcome::ThrowOtherStd, c.otherStd},
          std::pair{Outcome::ThrowNonStd, c.nonStd}}) {
      FakeComponents fake;
      fake.outcome = outcome;
      EXPECT_EQ(run(fake, *c.args), error(expected)) << name << " outcome " << int(outcome);
      // Failures caught by a pkcs11 command's own handler still release the manager.
      if ((*c.args)[0] == "pkcs11") {
        EXPECT_EQ(fake.releases, 1) << name;
      }
    }
    FakeComponents fake;
    EXPECT_EQ(run(fake, *c.args).count("success"), 1u) << name;
  }
}

// Each command reads its positions with their conversions and calls its operation.
TEST(Dispatch, ParametersAndCalls) {
  const std::pair<const Args*, const char*> cases[] = {
      {&kCapiCsp, "listCSPs"},
      {&kCount, "countContainers|Prov|24"},
      {&kList, "listContainers|Prov|24"},
      {&kSign, "capiSign|ab12|sha1|ZGF0YQ==|T"},
      {&kSignList, "signList|ab12|sha256|[]"},
      {&kCreate, "createKeyPair|Prov|3000|Cont|F|T|24|Ana|T"},
      {&kCsr, "generateCSR|Ana|Prov|Cont|1"},
      {&kImport, "acceptPKCS7|MIIB|Prov|Cont|24"},
      {&kTokens, "listTokens"},
      {&kCerts, "listCertificates"},
      {&kCertDetails, "listCertificateDetails"},
      {&kStoreCerts, "listCertificates"},
      {&kModules, "inspectModules|ND"},
      {&kObjects, "listObjects|1234"},
      {&kP11Sign, "p11Sign|ZGF0YQ==|ab12|1234|sha256|F"},
      {&kP11SignList, "p11SignList|ab12|sha256|1234|[]"},
      {&kSignKeyId, "signWithKeyId|ZGF0YQ==|ABCD-Zg==|1234|sha1|T"},
      {&kP11Create, "p11CreateKeyPair|label|1234|2048"},
      {&kPublicKey, "getPublicKey|QUJD"},
      {&kP11Import, "p11Import|QUJD|GD|label|MIIB|1234"},
  };
  for (const auto& [args, call] : cases) {
    FakeComponents fake;
    fake.records = {json{{"b", 1}, {"a", "x"}}};
    const json envelope = run(fake, *args);
    ASSERT_FALSE(fake.calls.empty()) << call;
    EXPECT_EQ(fake.calls.back(), call);
    ASSERT_EQ(envelope.count("success"), 1u) << call;
    if ((*args)[0] == "pkcs11") {
      EXPECT_EQ(fake.managerCodes, std::vector<std::string>{"GD"}) << call;
      EXPECT_EQ(fake.releases, 1) << call;
    } else {
      // The store's certificates and the inspection of the modules need no manager.
      EXPECT_TRUE(fake.managerCodes.empty()) << call;
    }
  }
}

// The listings of this toolset's own commands are arrays of the records as they came.
TEST(Dispatch, NewListingsAreArraysOfTheRecords) {
  for (const Args* args : {&kCertDetails, &kStoreCerts, &kModules}) {
    FakeComponents fake;
    fake.records = {json{{"b", 1}, {"a", "x"}}, json::object()};
    EXPECT_EQ(run(fake, *args), (json{{"success", json::array({fake.records[0], json::object()})}}))
        << (*args)[2];
    fake.records.clear();
    EXPECT_EQ(run(fake, *args), (json{{"success", json::array()}})) << (*args)[2];
  }
}

TEST(Dispatch, ConversionsOfWords) {
  FakeComponents fake;
  // atoi: no digits gives 0; leading digits are taken.
  run(fake, {"capi", "list", "countContainer", "Prov", "abc"});
  EXPECT_EQ(fake.calls.back(), "countContainers|Prov|0");
  run(fake, {"capi", "list", "countContainer", "Prov", " 12xyz"});
  EXPECT_EQ(fake.calls.back(), "countContainers|Prov|12");
  // Booleans: "1" is false, capitals and leading spaces still true.
  run(fake, {"capi", "crypt", "sign", "t", "a", "d", "1"});
  EXPECT_EQ(fake.calls.back(), "capiSign|t|a|d|F");
  run(fake, {"capi", "crypt", "sign", "t", "a", "d", "  True"});
  EXPECT_EQ(fake.calls.back(), "capiSign|t|a|d|T");
  // The key identifier is decoded and kept whole, zero byte included ("AB\0C").
  run(fake, {"pkcs11", "crypt", "signWithKeyId", "GD", "S", "QUIAQw==", "h", "p", "f", "d"});
  EXPECT_EQ(fake.calls.back(), std::string("signWithKeyId|d|AB") + '\0' + "C|p|h|F");
  // Arguments after the last position change nothing.
  run(fake, {"capi", "list", "countContainer", "Prov", "24", "extra", "more"});
  EXPECT_EQ(fake.calls.back(), "countContainers|Prov|24");
}

TEST(Dispatch, MissingPositionsGiveUnknownError) {
  const Args cases[] = {
      {"capi", "list", "countContainer", "Prov"},
      {"capi", "crypt", "sign", "t", "a", "d"},
      {"capi", "crypt", "signList", "t", "a"},
      // Eleven words: position 10 is unused but its absence is not.
      {"capi", "repo", "createKeyPair", "P", "24", "C", "false", "false", "1024", "x", "Ana"},
      {"capi", "repo", "generateCSR", "P", "24", "C"},
      {"capi", "repo", "importCertificate", "P", "24", "C"},
      {"pkcs11", "list", "tokens"},
      {"pkcs11", "list", "objects", "GD", "S"},
      {"pkcs11", "crypt", "sign", "GD", "t", "h", "p", "d"},
      {"pkcs11", "crypt", "signList", "GD", "t", "h", "p"},
      {"pkcs11", "crypt", "signWithKeyId", "GD", "S", "id", "h", "p", "f"},
      {"pkcs11", "repo", "createKeyPair", "GD", "S", "l", "2048"},
      {"pkcs11", "repo", "getPublicKey", "GD"},
      {"pkcs11", "repo", "importCertificate", "GD", "S", "id", "l", "p"},
  };
  for (const Args& args : cases) {
    FakeComponents fake;
    EXPECT_EQ(run(fake, args), error("Erro desconhecido.")) << args[2] << " " << args.size();
    // The operation is not called, and the outermost path releases no manager.
    for (const auto& call : fake.calls) EXPECT_EQ(call.rfind("findStore", 0), std::string::npos) << call;
    EXPECT_EQ(fake.releases, 0);
  }
  FakeComponents fake;
  run(fake, {"pkcs11", "list", "tokens"});
  EXPECT_TRUE(fake.managerCodes.empty());  // position 4 is read before the manager
}

// The PIN word "-" reads the PIN from standard input, once, after every position
// of the command; other words, "ND" and the empty PIN included, keep their meaning.
TEST(Dispatch, PinFromStandardInput) {
  const std::pair<Args, std::size_t> commands[] = {
      {kObjects, 5},   {kP11Sign, 6},   {kP11SignList, 6},
      {kSignKeyId, 7}, {kP11Create, 7}, {kP11Import, 7},
  };
  for (const auto& [command, position] : commands) {
    Args args = command;
    args[position] = "-";
    FakeComponents fake;
    fake.input = "4321\nnext line";
    ASSERT_EQ(run(fake, args).count("success"), 1u) << args[2];
    EXPECT_NE(fake.calls.back().find("|4321"), std::string::npos) << fake.calls.back();
    EXPECT_EQ(fake.inputReads, std::vector<std::size_t>{258}) << args[2];
    for (const char* word : {"ND", "", "--", " -"}) {
      args[position] = word;
      FakeComponents other;
      other.input = "4321\n";
      run(other, args);
      EXPECT_NE(other.calls.back().find(std::string("|") + word), std::string::npos);
      EXPECT_TRUE(other.inputReads.empty()) << word;
    }
  }
}

// The first line is the PIN (LF or CR LF ends it); nothing read is "PIN nao informado",
// more than 256 bytes the token's PIN-length text; neither reaches the token.
TEST(Dispatch, PinInputLines) {
  const std::string longest(256, 'p');
  const json listed = success(json::array());
  const std::pair<std::string, json> cases[] = {
      {"4321\n", listed},     {"4321", listed},
      {"4321\r\n", listed},   {"43\n21\n", listed},
      {"ND\n", listed},       {longest + "\r\n", listed},
      {longest, listed},      {"", error("PIN nao informado")},
      {"\n", error("PIN nao informado")}, {"\r\n1234", error("PIN nao informado")},
      {longest + "q", error("Erro no Login - Tamanho do Pin invalido")},
      {longest + "q\n", error("Erro no Login - Tamanho do Pin invalido")},
  };
  const std::map<std::string, std::string> expectedPin = {
      {"4321\n", "4321"}, {"4321", "4321"}, {"4321\r\n", "4321"}, {"43\n21\n", "43"},
      {"ND\n", "ND"},   {longest + "\r\n", longest}, {longest, longest}};
  for (const auto& [input, outcome] : cases) {
    FakeComponents fake;
    fake.input = input;
    Args args = kObjects;
    args[5] = "-";
    EXPECT_EQ(run(fake, args), outcome) << input.size();
    EXPECT_EQ(fake.releases, 1);
    if (outcome.count("error")) {
      EXPECT_TRUE(fake.calls.empty()) << input.size();  // no token lookup, no login
    } else {
      EXPECT_EQ(fake.calls.back(), "listObjects|" + expectedPin.at(input));
    }
  }
  // A missing position fails first; standard input is not read.
  FakeComponents fake;
  EXPECT_EQ(run(fake, {"pkcs11", "crypt", "sign", "GD", "t", "h", "-", "d"}),
            error("Erro desconhecido."));
  EXPECT_TRUE(fake.inputReads.empty());
}

TEST(Dispatch, TwelveWordsRunCreateKeyPairWhateverPositionTenHolds) {
  FakeComponents fake;
  Args args = kCreate;
  args[9] = "";
  EXPECT_EQ(run(fake, args), success("result"));
}

TEST(Dispatch, ManagerLifecycle) {
  {  // Obtaining the manager fails: its message, no release.
    FakeComponents fake;
    fake.managerFails = true;
    EXPECT_EQ(run(fake, kTokens), error("module load failed"));
    EXPECT_EQ(fake.releases, 0);
  }
  {  // An unknown group still loads (and releases) the modules of the code.
    FakeComponents fake;
    EXPECT_EQ(run(fake, {"pkcs11", "nope", "tokens", "ET"}),
              error("Tipo de sub-comando nao encontrado"));
    EXPECT_EQ(fake.managerCodes, std::vector<std::string>{"ET"});
    EXPECT_EQ(fake.releases, 1);
  }
  {  // No token for type and serial: released, operation not called.
    for (const Args* args : {&kObjects, &kSignKeyId, &kP11Create, &kPublicKey, &kP11Import}) {
      FakeComponents fake;
      fake.haveStore = false;
      EXPECT_EQ(run(fake, *args), error("Token Type ou Serial invalido"));
      EXPECT_EQ(fake.releases, 1);
      EXPECT_EQ(fake.calls.size(), 1u) << fake.calls.back();
    }
  }
}

TEST(Dispatch, ListingsBecomeArrays) {
  FakeComponents fake;
  EXPECT_EQ(run(fake, kTokens), success(json::array()));
  fake.records = {json{{"serial", "1"}}, json{{"serial", "2"}}};
  EXPECT_EQ(run(fake, kCerts), success(json::array({json{{"serial", "1"}}, json{{"serial", "2"}}})));
}

// Only the wrong-digest-length text of a token signature is an error.
TEST(Dispatch, TokenSignatureTexts) {
  for (const Args* args : {&kP11Sign, &kSignKeyId}) {
    FakeComponents fake;
    fake.text = "Tamanho data nao condiz com algoritmo utilizado";
    EXPECT_EQ(run(fake, *args), error(fake.text));
    fake.text = "Nenhum certificado encontrado com o thumbprint enviado";
    EXPECT_EQ(run(fake, *args), success(fake.text));
  }
}

TEST(Dispatch, SignListDocument) {
  FakeComponents fake;
  const std::string doc = R"([{"value":"YQ==","hashedData":false,"id":7}])";
  run(fake, {"capi", "crypt", "signList", "t", "sha1", base64Encode(Bytes(doc.begin(), doc.end()))});
  EXPECT_EQ(fake.calls.back(), "signList|t|sha1|" + json::parse(doc).dump());
  // Decoded text that is not JSON: the library's parse message.
  const json envelope = run(fake, {"capi", "crypt", "signList", "t", "sha1", "bm90IGpzb24="});
  ASSERT_TRUE(envelope.at("error").is_string());
  EXPECT_NE(envelope.at("error").get<std::string>().find("parse error"), std::string::npos);
}

// The token list document: decoded (padding optional), cut at a zero byte, parsed;
// text that is not JSON is "Lista invalida: " and the parser's message, nothing signed.
// The result is the manager's array, or its text when no certificate matched.
TEST(Dispatch, TokenSignListDocument) {
  const std::string doc = R"([{"value":"YQ==","hashedData":false,"id":7}])";
  std::string encoded = base64Encode(Bytes(doc.begin(), doc.end()));
  while (encoded.back() == '=') encoded.pop_back();
  FakeComponents fake;
  Args args = kP11SignList;
  args[7] = encoded;
  fake.records = {json{{"data", "YQ=="}, {"id", 7}, {"signed", "c2ln"}}};
  EXPECT_EQ(run(fake, args), success(json::array({fake.records[0]})));
  EXPECT_EQ(fake.calls.back(), "p11SignList|ab12|sha256|1234|" + json::parse(doc).dump());

  FakeComponents none;
  none.text = "Nenhum certificado encontrado com o thumbprint enviado";
  EXPECT_EQ(run(none, kP11SignList), success(none.text));

  FakeComponents bad;
  args[7] = "bm90IGpzb24=";  // "not json"
  const json envelope = run(bad, args);
  ASSERT_TRUE(envelope.at("error").is_string());
  EXPECT_EQ(envelope.at("error").get<std::string>().rfind("Lista invalida: [json.exception.parse_error", 0), 0u)
      << envelope;
  EXPECT_TRUE(bad.calls.empty());
  EXPECT_EQ(bad.releases, 1);
}

TEST(Render, Utf8AndOrdering) {
  // Non-ASCII written as it is; invalid bytes replaced, never a failure.
  EXPECT_EQ(renderEnvelope(error("A chave n\xc3\xa3o existe")),
            "{\n    \"error\": \"A chave n\xc3\xa3o existe\"\n}");
  EXPECT_EQ(renderEnvelope(error("bad \xff\xfe end")),
            "{\n    \"error\": \"bad \xef\xbf\xbd\xef\xbf\xbd end\"\n}");
  EXPECT_EQ(renderEnvelope(error(nullptr)), "{\n    \"error\": null\n}");
  const json listing = success(json::array({json{{"tokenLabel", "L"}, {"serial", "S"}}}));
  EXPECT_EQ(renderEnvelope(listing),
            "{\n    \"success\": [\n        {\n            \"serial\": \"S\",\n"
            "            \"tokenLabel\": \"L\"\n        }\n    ]\n}");
  EXPECT_EQ(renderEnvelope(success(json::array())), "{\n    \"success\": []\n}");
}

TEST(Dispatch, InvalidUtf8FromAnOperationStillPrints) {
  FakeComponents fake;
  fake.text = "name \xc3";
  const auto envelope = dispatch(kCapiCsp, fake);
  ASSERT_TRUE(envelope.has_value());
  EXPECT_EQ(renderEnvelope(*envelope), "{\n    \"success\": \"name \xef\xbf\xbd\"\n}");
}

}  // namespace
}  // namespace ankor
