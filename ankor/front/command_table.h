// The command table of ankor: one row per command, read by dispatch.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/core/operations.h"

namespace ankor {

// How the word at a position becomes a parameter.
enum class Conversion {
  Text,         // the word unchanged
  Integer,      // C atoi rules (parseAtoi)
  Boolean,      // parseBoolWord
  Base64Text,   // base64Decode, then the bytes up to the first zero byte
  Base64Bytes,  // base64Decode, every byte kept (token identifiers may hold zero bytes)
  Pin,          // the word; "-" means the first line of standard input, read once
                // every position of the command has been read
  Unused,       // read and not used, but it must be present
};

struct Parameter {
  std::size_t position;  // 1 is the command word; parameters start at 4
  Conversion conversion;
};

// What a command's own handler, around its call, reports with the failure's message;
// every other failure inside that handler gives "error": null. Outermost: the command
// has no handler of its own, so a runtime_error keeps its message and anything else
// is "Erro desconhecido.".
enum class Catches { Outermost, Nothing, RuntimeError, AnyStdException };

// What is looked up after the parameters and before the call.
enum class Target {
  None,
  Token,  // findStore(position 4, position 5); none is "Token Type ou Serial invalido"
};

// Where the call's result goes.
enum class Placement {
  Success,         // "success": the returned value
  TokenSignature,  // the wrong-digest-length text goes to "error", every other to "success"
};

// The converted parameters and the components of one command's call.
class Call {
 public:
  // The parameter read at a position with a text conversion (Text, Base64*, Pin).
  virtual const std::string& text(std::size_t position) const = 0;
  virtual int integer(std::size_t position) const = 0;  // Integer
  virtual bool flag(std::size_t position) const = 0;    // Boolean
  virtual KeyStore& keyStore() const = 0;
  virtual Signer& signer() const = 0;
  virtual TokenManager& manager() const = 0;  // "pkcs11" commands
  virtual TokenStore& store() const = 0;      // Target::Token commands
  virtual const CertificateDecoder& certificateDecoder() const = 0;
  virtual ModuleInspector& moduleInspector() const = 0;
  const std::string& typeCode() const { return text(4); }

 protected:
  ~Call() = default;
};

// One command. Rows are written as
//   {command, group, operation, {{position, Conversion}, ...}, Catches, Target, Placement,
//    [](const Call& c) -> json { return c.keyStore().operation(c.text(4), c.integer(5)); }}
// Parameters are listed in ascending position order; the call reads only positions
// the row lists, with the accessor of their conversion. The call runs inside the
// command's own handler together with anything it builds from the parameters (a JSON
// parse, for instance); what happens before it (reading, converting, decoding, the
// token lookup) goes to the outermost handler. Adding a command is one row here and
// its operation behind the component's interface.
struct Command {
  const char* command;
  const char* group;
  const char* operation;
  std::vector<Parameter> parameters;
  Catches catches;
  Target target;
  Placement placement;
  nlohmann::json (*call)(const Call&);
};

// Every command, in the order the words are compared.
const std::vector<Command>& commandTable();

// The number of words a command needs: its highest position, at least three.
std::size_t minimumArguments(const Command& command);

}  // namespace ankor
