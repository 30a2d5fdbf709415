#include "ankor/front/dispatch.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "ankor/core/encoding.h"

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

json recordsArray(const Records& records) {
  json array = json::array();
  for (const auto& record : records) array.push_back(record);
  return array;
}

// A command's own handler. Which failures keep their message differs per command;
// every other failure inside the handler gives "error": null.
enum class Catches { Nothing, RuntimeError, AnyStdException };

template <typename Body>
void guarded(json& envelope, Catches catches, Body&& body) {
  try {
    body();
  } catch (const std::runtime_error& e) {
    if (catches == Catches::Nothing) setError(envelope, nullptr);
    else setError(envelope, e.what());
  } catch (const std::exception& e) {
    if (catches == Catches::AnyStdException) setError(envelope, e.what());
    else setError(envelope, nullptr);
  } catch (...) {
    setError(envelope, nullptr);
  }
}

void runSystem(const std::vector<std::string>& args, json& envelope) {
  if (args[1] != "info") return setError(envelope, kUnknownGroup);
  if (args[2] != "version") return setError(envelope, kUnknownOperation);
  setSuccess(envelope, kVersion);
}

void runCapi(const std::vector<std::string>& args, Components& components, json& envelope) {
  KeyStore& keyStore = components.keyStore();
  const std::string& group = args[1];
  const std::string& operation = args[2];

  if (group == "list") {
    if (operation == "csp") {
      return guarded(envelope, Catches::AnyStdException,
                     [&] { setSuccess(envelope, keyStore.listCSPs()); });
    }
    if (operation == "countContainer" || operation == "listContainer") {
      const std::string& providerName = args.at(3);
      const int providerType = parseAtoi(args.at(4));
      return guarded(envelope, Catches::RuntimeError, [&] {
        setSuccess(envelope, operation == "countContainer"
                                 ? keyStore.countContainers(providerName, providerType)
                                 : keyStore.listContainers(providerName, providerType));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  if (group == "crypt") {
    Signer& signer = components.signer();
    if (operation == "sign") {
      const std::string& thumbprint = args.at(3);
      const std::string& hashAlgorithm = args.at(4);
      const std::string& data = args.at(5);
      const bool isHash = parseBoolWord(args.at(6));
      return guarded(envelope, Catches::AnyStdException, [&] {
        setSuccess(envelope, signer.sign(thumbprint, hashAlgorithm, data, isHash));
      });
    }
    if (operation == "signList") {
      const std::string& thumbprint = args.at(3);
      const std::string& hashAlgorithm = args.at(4);
      const std::string listText = textUpToZero(base64Decode(args.at(5)));
      return guarded(envelope, Catches::AnyStdException, [&] {
        const json document = json::parse(listText);
        setSuccess(envelope, signer.signList(thumbprint, hashAlgorithm, document));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  if (group == "repo") {
    if (operation == "createKeyPair") {
      const std::string& providerName = args.at(3);
      const int providerType = parseAtoi(args.at(4));
      const std::string& containerName = args.at(5);
      const bool useExistingKey = parseBoolWord(args.at(6));
      const bool exportable = parseBoolWord(args.at(7));
      const int keyLength = parseAtoi(args.at(8));
      (void)args.at(9);  // read and not used, but it must be present
      const std::string& commonName = args.at(10);
      const bool makeRequest = parseBoolWord(args.at(11));
      return guarded(envelope, Catches::Nothing, [&] {
        setSuccess(envelope,
                   keyStore.createKeyPair(providerName, keyLength, containerName, useExistingKey,
                                          exportable, providerType, commonName, makeRequest));
      });
    }
    if (operation == "generateCSR") {
      // No handler of its own: failures go to the outermost handler.
      const std::string& providerName = args.at(3);
      const int providerType = parseAtoi(args.at(4));
      const std::string& containerName = args.at(5);
      const std::string& commonName = args.at(6);
      return setSuccess(envelope, keyStore.generateCSR(commonName, providerName, containerName,
                                                       providerType));
    }
    if (operation == "importCertificate") {
      const std::string& providerName = args.at(3);
      const int providerType = parseAtoi(args.at(4));
      const std::string& containerName = args.at(5);
      const std::string& certificate = args.at(6);
      return guarded(envelope, Catches::AnyStdException, [&] {
        setSuccess(envelope,
                   keyStore.acceptPKCS7(certificate, providerName, containerName, providerType));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  setError(envelope, kUnknownGroup);
}

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

// A PKCS#11 signing result: only the wrong-digest-length text is a failure.
void placeSignature(json& envelope, const std::string& text) {
  if (text == kWrongDigestLength) setError(envelope, text);
  else setSuccess(envelope, text);
}

// The "pkcs11" branch up to its own end; the caller then releases the manager.
// A failure escaping from here goes to the outermost handler without a release.
void runPkcs11(const std::vector<std::string>& args, TokenManager& manager,
               const std::string& typeCode, Components& components, json& envelope) {
  const std::string& group = args[1];
  const std::string& operation = args[2];
  // The token of that serial, else the no-token error; with a token, body(store) runs
  // guarded like every operation.
  // The lookup's own failure (an ambiguous serial) is placed like the body's.
  auto onToken = [&](const std::string& serial, auto&& body) {
    guarded(envelope, Catches::RuntimeError, [&] {
      TokenStore* store = manager.findStore(typeCode, serial);
      if (store == nullptr) return setError(envelope, kNoToken);
      body(*store);
    });
  };
  // The PIN of the word, read from standard input for "-" once every position of the
  // command has been read; nullptr, with the error placed, when no PIN could be read.
  InputPin inputPin;
  auto pinOf = [&](const std::string& word) -> const std::string* {
    if (word != kPinFromInput) return &word;
    if (const char* failure = inputPin.read(components)) {
      setError(envelope, failure);
      return nullptr;
    }
    return &inputPin.text();
  };

  if (group == "list") {
    if (operation == "tokens" || operation == "certificates") {
      return guarded(envelope, Catches::RuntimeError, [&] {
        setSuccess(envelope, recordsArray(operation == "tokens" ? manager.listTokens()
                                                                : manager.listCertificates()));
      });
    }
    if (operation == "objects") {
      const std::string& serial = args.at(4);
      const std::string* pin = pinOf(args.at(5));
      if (pin == nullptr) return;
      return onToken(serial, [&](TokenStore& store) {
        setSuccess(envelope, recordsArray(store.listObjects(*pin)));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  if (group == "crypt") {
    if (operation == "sign") {
      const std::string& thumbprint = args.at(4);
      const std::string& hashName = args.at(5);
      const std::string& pinWord = args.at(6);
      const std::string& data = args.at(7);
      const bool isDigest = parseBoolWord(args.at(8));
      const std::string* pin = pinOf(pinWord);
      if (pin == nullptr) return;
      return guarded(envelope, Catches::RuntimeError, [&] {
        placeSignature(envelope, manager.sign(data, thumbprint, *pin, hashName, isDigest));
      });
    }
    if (operation == "signList") {
      const std::string& thumbprint = args.at(4);
      const std::string& hashName = args.at(5);
      const std::string& pinWord = args.at(6);
      const std::string listText = textUpToZero(base64Decode(args.at(7)));
      const std::string* pin = pinOf(pinWord);
      if (pin == nullptr) return;
      return guarded(envelope, Catches::RuntimeError, [&] {
        json document;
        try {
          document = json::parse(listText);
        } catch (const json::exception& e) {
          throw std::runtime_error(std::string("Lista invalida: ") + e.what());
        }
        setSuccess(envelope, manager.signList(thumbprint, hashName, *pin, document));
      });
    }
    if (operation == "signWithKeyId") {
      const std::string& serial = args.at(4);
      // The identifier's bytes, whole: token ids may hold zero bytes.
      const Bytes keyIdBytes = base64Decode(args.at(5));
      const std::string keyId(keyIdBytes.begin(), keyIdBytes.end());
      const std::string& hashName = args.at(6);
      const std::string& pinWord = args.at(7);
      const bool isDigest = parseBoolWord(args.at(8));
      const std::string& data = args.at(9);
      const std::string* pin = pinOf(pinWord);
      if (pin == nullptr) return;
      return onToken(serial, [&](TokenStore& store) {
        placeSignature(envelope, store.signWithKeyId(data, keyId, *pin, hashName, isDigest));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  if (group == "repo") {
    if (operation == "createKeyPair") {
      const std::string& serial = args.at(4);
      const std::string& label = args.at(5);
      const int keySize = parseAtoi(args.at(6));
      const std::string* pin = pinOf(args.at(7));
      if (pin == nullptr) return;
      return onToken(serial, [&](TokenStore& store) {
        setSuccess(envelope, store.createKeyPair(label, *pin, keySize));
      });
    }
    if (operation == "getPublicKey") {
      const std::string& serial = args.at(4);
      const std::string& keyId = args.at(5);
      return onToken(serial,
                     [&](TokenStore& store) { setSuccess(envelope, store.getPublicKey(keyId)); });
    }
    if (operation == "importCertificate") {
      const std::string& serial = args.at(4);
      const std::string& keyId = args.at(5);
      const std::string& label = args.at(6);
      const std::string& pinWord = args.at(7);
      const std::string& certificate = args.at(8);
      const std::string* pin = pinOf(pinWord);
      if (pin == nullptr) return;
      return onToken(serial, [&](TokenStore& store) {
        setSuccess(envelope, store.importCertificate(keyId, typeCode, label, certificate, *pin));
      });
    }
    return setError(envelope, kUnknownOperation);
  }

  setError(envelope, kUnknownGroup);
}

}  // namespace

std::optional<json> dispatch(const std::vector<std::string>& args, Components& components) {
  if (args.size() < 3) return std::nullopt;

  json envelope;
  try {
    const std::string& command = args[0];
    if (command == "system") {
      runSystem(args, envelope);
    } else if (command == "capi") {
      runCapi(args, components, envelope);
    } else if (command == "pkcs11") {
      const std::string& typeCode = args.at(3);
      TokenManager& manager = components.tokenManager(typeCode);
      runPkcs11(args, manager, typeCode, components, envelope);
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
