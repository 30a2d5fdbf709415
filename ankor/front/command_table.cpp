#include "ankor/front/command_table.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ankor/front/dispatch.h"

namespace ankor {
namespace {

using nlohmann::json;
using C = Conversion;

json recordsArray(const Records& records) {
  json array = json::array();
  for (const auto& record : records) array.push_back(record);
  return array;
}

// The token room's list document: text that is not JSON is a runtime failure whose
// message names the list, so the command's handler reports it.
json tokenListDocument(const std::string& text) {
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("Lista invalida: ") + e.what());
  }
}

}  // namespace

const std::vector<Command>& commandTable() {
  // Rows of one command word stay together; within a group, words are compared in row
  // order. The row format is described at Command in the header.
  static const std::vector<Command> table = {
      {"system", "info", "version", {}, Catches::Outermost, Target::None, Placement::Success,
       [](const Call&) -> json { return kVersion; }},
      {"system", "info", "modules", {{4, C::Text}}, Catches::RuntimeError, Target::None,
       Placement::Success,
       [](const Call& c) -> json { return recordsArray(c.moduleInspector().inspectModules(c.text(4))); }},

      {"capi", "list", "csp", {}, Catches::AnyStdException, Target::None, Placement::Success,
       [](const Call& c) -> json { return c.keyStore().listCSPs(); }},
      {"capi", "list", "countContainer", {{4, C::Text}, {5, C::Integer}}, Catches::RuntimeError,
       Target::None, Placement::Success,
       [](const Call& c) -> json { return c.keyStore().countContainers(c.text(4), c.integer(5)); }},
      {"capi", "list", "listContainer", {{4, C::Text}, {5, C::Integer}}, Catches::RuntimeError,
       Target::None, Placement::Success,
       [](const Call& c) -> json { return c.keyStore().listContainers(c.text(4), c.integer(5)); }},
      {"capi", "list", "certificates", {}, Catches::AnyStdException, Target::None,
       Placement::Success,
       [](const Call& c) -> json { return recordsArray(c.keyStore().listCertificates()); }},
      {"capi", "crypt", "sign", {{4, C::Text}, {5, C::Text}, {6, C::Text}, {7, C::Boolean}},
       Catches::AnyStdException, Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.signer().sign(c.text(4), c.text(5), c.text(6), c.flag(7));
       }},
      {"capi", "crypt", "signList", {{4, C::Text}, {5, C::Text}, {6, C::Base64Text}},
       Catches::AnyStdException, Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.signer().signList(c.text(4), c.text(5), json::parse(c.text(6)));
       }},
      {"capi", "repo", "createKeyPair",
       {{4, C::Text}, {5, C::Integer}, {6, C::Text}, {7, C::Boolean}, {8, C::Boolean},
        {9, C::Integer}, {10, C::Unused}, {11, C::Text}, {12, C::Boolean}},
       Catches::Nothing, Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.keyStore().createKeyPair(c.text(4), c.integer(9), c.text(6), c.flag(7),
                                           c.flag(8), c.integer(5), c.text(11), c.flag(12));
       }},
      {"capi", "repo", "generateCSR", {{4, C::Text}, {5, C::Integer}, {6, C::Text}, {7, C::Text}},
       Catches::Outermost, Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.keyStore().generateCSR(c.text(7), c.text(4), c.text(6), c.integer(5));
       }},
      {"capi", "repo", "importCertificate",
       {{4, C::Text}, {5, C::Integer}, {6, C::Text}, {7, C::Text}}, Catches::AnyStdException,
       Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.keyStore().acceptPKCS7(c.text(7), c.text(4), c.text(6), c.integer(5));
       }},

      {"pkcs11", "list", "tokens", {{4, C::Text}}, Catches::RuntimeError, Target::None,
       Placement::Success,
       [](const Call& c) -> json { return recordsArray(c.manager().listTokens()); }},
      {"pkcs11", "list", "certificates", {{4, C::Text}}, Catches::RuntimeError, Target::None,
       Placement::Success,
       [](const Call& c) -> json { return recordsArray(c.manager().listCertificates()); }},
      {"pkcs11", "list", "certificateDetails", {{4, C::Text}}, Catches::RuntimeError,
       Target::None, Placement::Success,
       [](const Call& c) -> json {
         return recordsArray(c.manager().listCertificateDetails(c.certificateDecoder()));
       }},
      {"pkcs11", "list", "objects", {{4, C::Text}, {5, C::Text}, {6, C::Pin}},
       Catches::RuntimeError, Target::Token, Placement::Success,
       [](const Call& c) -> json { return recordsArray(c.store().listObjects(c.text(6))); }},
      {"pkcs11", "crypt", "sign",
       {{4, C::Text}, {5, C::Text}, {6, C::Text}, {7, C::Pin}, {8, C::Text}, {9, C::Boolean}},
       Catches::RuntimeError, Target::None, Placement::TokenSignature,
       [](const Call& c) -> json {
         return c.manager().sign(c.text(8), c.text(5), c.text(7), c.text(6), c.flag(9));
       }},
      {"pkcs11", "crypt", "signList", {{4, C::Text}, {5, C::Text}, {6, C::Text}, {7, C::Pin},
                                      {8, C::Base64Text}},
       Catches::RuntimeError, Target::None, Placement::Success,
       [](const Call& c) -> json {
         return c.manager().signList(c.text(5), c.text(6), c.text(7), tokenListDocument(c.text(8)));
       }},
      {"pkcs11", "crypt", "signWithKeyId",
       {{4, C::Text}, {5, C::Text}, {6, C::Base64Bytes}, {7, C::Text}, {8, C::Pin},
        {9, C::Boolean}, {10, C::Text}},
       Catches::RuntimeError, Target::Token, Placement::TokenSignature,
       [](const Call& c) -> json {
         return c.store().signWithKeyId(c.text(10), c.text(6), c.text(8), c.text(7), c.flag(9));
       }},
      {"pkcs11", "repo", "createKeyPair", {{4, C::Text}, {5, C::Text}, {6, C::Text},
                                          {7, C::Integer}, {8, C::Pin}},
       Catches::RuntimeError, Target::Token, Placement::Success,
       [](const Call& c) -> json {
         return c.store().createKeyPair(c.text(6), c.text(8), c.integer(7));
       }},
      {"pkcs11", "repo", "getPublicKey", {{4, C::Text}, {5, C::Text}, {6, C::Text}},
       Catches::RuntimeError, Target::Token, Placement::Success,
       [](const Call& c) -> json { return c.store().getPublicKey(c.text(6)); }},
      {"pkcs11", "repo", "importCertificate",
       {{4, C::Text}, {5, C::Text}, {6, C::Text}, {7, C::Text}, {8, C::Pin}, {9, C::Text}},
       Catches::RuntimeError, Target::Token, Placement::Success,
       [](const Call& c) -> json {
         return c.store().importCertificate(c.text(6), c.typeCode(), c.text(7), c.text(9),
                                            c.text(8));
       }},
  };
  return table;
}

std::size_t minimumArguments(const Command& command) {
  std::size_t highest = 3;
  for (const Parameter& parameter : command.parameters)
    highest = std::max(highest, parameter.position);
  return highest;
}

}  // namespace ankor
