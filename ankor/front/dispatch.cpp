#include "ankor/front/dispatch.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "ankor/core/encoding.h"
#include "ankor/front/command_table.h"

namespace ankor {
namespace {

using nlohmann::json;

constexpr const char* kUnknownCommand = "Tipo de comando nao encontrado";
constexpr const char* kUnknownGroup = "Tipo de sub-comando nao encontrado";
constexpr const char* kUnknownOperation = "Comando nao encontrado";
constexpr const char* kNoToken = "Token Type ou Serial invalido";
constexpr const char* kWrongDigestLength = "Tamanho data nao condiz com algoritmo utilizado";
constexpr const char* kUnknownError = "Erro desconhecido.";
constexpr const char* kNoPin = "PIN nao informado";
// The token's own text for a PIN of a length it does not take.
constexpr const char* kPinTooLong = "Erro no Login - Tamanho do Pin invalido";
// The PIN word that means: read the PIN from standard input.
constexpr const char* kPinFromInput = "-";
constexpr std::size_t kMaxInputPinBytes = 256;

void setError(json& envelope, json value) { envelope = json{{"error", std::move(value)}}; }
void setSuccess(json& envelope, json value) { envelope = json{{"success", std::move(value)}}; }

// A PIN read from standard input; wiped when the command is done.
class InputPin {
 public:
  InputPin() = default;
  ~InputPin() { secureWipe(text_.data(), text_.size()); }
  // A copy would leave a PIN behind that nobody wipes.
  InputPin(const InputPin&) = delete;
  InputPin& operator=(const InputPin&) = delete;

  // Reads the first line (ended by LF or CR LF, or by the end of input). Returns the
  // failure text, or nullptr when text() holds a PIN. The bytes after the line are
  // wiped at once.
  const char* read(Components& components) {
    // A PIN of the largest length followed by CR LF still fits.
    text_ = components.readStandardInput(kMaxInputPinBytes + 2);
    std::size_t end = std::min(text_.find('\n'), text_.size());
    if (end > 0 && text_[end - 1] == '\r') --end;
    secureWipe(text_.data() + end, text_.size() - end);
    text_.resize(end);
    if (text_.empty()) return kNoPin;
    if (text_.size() > kMaxInputPinBytes) return kPinTooLong;
    return nullptr;
  }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// One command's parameters, read from the words by its row, and its components.
class CommandCall final : public Call {
 public:
  CommandCall(const Command& row, Components& components, TokenManager* manager)
      : row_(row), values_(minimumArguments(row) + 1), components_(components),
        manager_(manager) {}
  CommandCall(const CommandCall&) = delete;
  CommandCall& operator=(const CommandCall&) = delete;

  // Reads every position in ascending order; a missing one throws out_of_range.
  void read(const std::vector<std::string>& args) {
    for (const Parameter& parameter : row_.parameters) {
      const std::string& word = args.at(parameter.position - 1);
      Value& value = values_[parameter.position];
      value.text = &word;
      switch (parameter.conversion) {
        case Conversion::Text:
        case Conversion::Pin:
        case Conversion::Unused: break;
        case Conversion::Integer: value.integer = parseAtoi(word); break;
        case Conversion::Boolean: value.flag = parseBoolWord(word); break;
        case Conversion::Base64Text: value.owned = textUpToZero(base64Decode(word)); break;
        case Conversion::Base64Bytes: {
          const Bytes bytes = base64Decode(word);
          value.owned.assign(bytes.begin(), bytes.end());
          break;
        }
      }
      if (parameter.conversion == Conversion::Base64Text ||
          parameter.conversion == Conversion::Base64Bytes)
        value.text = &value.owned;
    }
  }

  // Reads the PIN of a "-" word from standard input. Returns the failure text, or
  // nullptr when every PIN is known.
  const char* readPins() {
    for (const Parameter& parameter : row_.parameters) {
      Value& value = values_[parameter.position];
      if (parameter.conversion != Conversion::Pin || *value.text != kPinFromInput) continue;
      if (const char* failure = inputPin_.read(components_)) return failure;
      value.text = &inputPin_.text();
    }
    return nullptr;
  }

  void setStore(TokenStore* store) { store_ = store; }

  const std::string& text(std::size_t position) const override { return *value(position).text; }
  int integer(std::size_t position) const override { return value(position).integer; }
  bool flag(std::size_t position) const override { return value(position).flag; }
  KeyStore& keyStore() const override { return components_.keyStore(); }
  Signer& signer() const override { return components_.signer(); }
  TokenManager& manager() const override { return *manager_; }
  TokenStore& store() const override { return *store_; }
  const CertificateDecoder& certificateDecoder() const override {
    return components_.certificateDecoder();
  }
  ModuleInspector& moduleInspector() const override { return components_.moduleInspector(); }

 private:
  struct Value {
    const std::string* text = nullptr;  // the word, or owned when decoded here
    std::string owned;
    int integer = 0;
    bool flag = false;
  };
  const Value& value(std::size_t position) const {
    const Value& found = values_.at(position);
    if (found.text == nullptr) throw std::logic_error("position not in the command's row");
    return found;
  }

  const Command& row_;
  std::vector<Value> values_;  // by position; sized once, so owned texts stay put
  Components& components_;
  TokenManager* manager_;
  TokenStore* store_ = nullptr;
  InputPin inputPin_;
};

void place(json& envelope, const Command& row, json result) {
  if (row.placement == Placement::TokenSignature && result == kWrongDigestLength)
    return setError(envelope, std::move(result));
  setSuccess(envelope, std::move(result));
}

// The command's own handler around its call.
void callGuarded(json& envelope, const Command& row, const Call& call) {
  if (row.catches == Catches::Outermost) return place(envelope, row, row.call(call));
  try {
    place(envelope, row, row.call(call));
  } catch (const std::runtime_error& e) {
    if (row.catches == Catches::Nothing) setError(envelope, nullptr);
    else setError(envelope, e.what());
  } catch (const std::exception& e) {
    if (row.catches == Catches::AnyStdException) setError(envelope, e.what());
    else setError(envelope, nullptr);
  } catch (...) {
    setError(envelope, nullptr);
  }
}

void runRow(json& envelope, const Command& row, const std::vector<std::string>& args,
            Components& components, TokenManager* manager) {
  CommandCall call(row, components, manager);
  call.read(args);
  if (const char* failure = call.readPins()) return setError(envelope, failure);
  if (row.target == Target::Token) {
    // The lookup's own failure (a serial that several tokens share) is an answer too.
    TokenStore* store = nullptr;
    try {
      store = manager->findStore(call.typeCode(), call.text(5));
    } catch (const std::runtime_error& e) {
      return setError(envelope, e.what());
    }
    if (store == nullptr) return setError(envelope, kNoToken);
    call.setStore(store);
  }
  callGuarded(envelope, row, call);
}

// Finds the row of the group and operation words within a command's rows and runs it,
// or places the error of the first word that matches none.
void runGroup(json& envelope, const std::vector<std::string>& args, Components& components,
              TokenManager* manager) {
  const auto& table = commandTable();
  const auto hasGroup = [&](const Command& row) {
    return row.command == args[0] && row.group == args[1];
  };
  if (std::none_of(table.begin(), table.end(), hasGroup)) return setError(envelope, kUnknownGroup);
  // The signing component exists as soon as its group is named.
  if (args[0] == "capi" && args[1] == "crypt") components.signer();
  for (const Command& row : table) {
    if (hasGroup(row) && row.operation == args[2])
      return runRow(envelope, row, args, components, manager);
  }
  setError(envelope, kUnknownOperation);
}

}  // namespace

std::optional<json> dispatch(const std::vector<std::string>& args, Components& components) {
  if (args.size() < 3) return std::nullopt;

  json envelope;
  try {
    const std::string& command = args[0];
    if (command == "system") {
      runGroup(envelope, args, components, nullptr);
    } else if (command == "capi") {
      components.keyStore();  // created as soon as the command word is known
      runGroup(envelope, args, components, nullptr);
    } else if (command == "pkcs11") {
      // The manager of the type code is obtained before the group word is examined, and
      // released when the branch ends by its own steps; a failure that escapes to the
      // outermost handler leaves it for the process's end.
      TokenManager& manager = components.tokenManager(args.at(3));
      runGroup(envelope, args, components, &manager);
      components.releaseTokenManager();
    } else {
      setError(envelope, kUnknownCommand);
    }
  } catch (const std::runtime_error& e) {
    setError(envelope, e.what());
  } catch (...) {
    setError(envelope, kUnknownError);
  }
  return envelope;
}

std::string renderEnvelope(const json& envelope) {
  return envelope.dump(4, ' ', false, json::error_handler_t::replace);
}

}  // namespace ankor
