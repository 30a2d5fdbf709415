// The command line of ankor: the input split at zero bytes into words and given to the
// front end, behind components that answer with fixed texts or fail on request.
// Oracle: nothing escapes the front end; the printed envelope parses as JSON and has
// exactly one member, "success" or "error"; a component's well-formed text arrives
// unchanged.
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/front/dispatch.h"
#include "fuzz/fuzz_support.h"

namespace {

using ankor::Records;
using nlohmann::json;

enum class Outcome { Return, ThrowRuntime, ThrowOtherStd, ThrowNonStd };

class StubComponents final : public ankor::Components,
                             ankor::KeyStore,
                             ankor::Signer,
                             ankor::TokenManager,
                             ankor::TokenStore {
 public:
  Outcome outcome = Outcome::Return;
  std::string text;
  bool haveStore = true;
  bool managerFails = false;
  bool answered = false;  // a component returned `text` as its result
  std::string standardInput;  // where a PIN word "-" is read from

  ankor::KeyStore& keyStore() override { return *this; }
  ankor::Signer& signer() override { return *this; }
  ankor::TokenManager& tokenManager(const std::string&) override {
    if (managerFails) throw std::runtime_error("module load failed");
    return *this;
  }
  void releaseTokenManager() override {}
  std::string readStandardInput(std::size_t maxBytes) override {
    return standardInput.substr(0, maxBytes);
  }

  std::string listCSPs() override { return answer(); }
  std::string countContainers(const std::string&, int) override { return answer(); }
  std::string listContainers(const std::string&, int) override { return answer(); }
  std::string createKeyPair(const std::string&, int, const std::string&, bool, bool, int,
                            const std::string&, bool) override {
    return answer();
  }
  std::string generateCSR(const std::string&, const std::string&, const std::string&,
                          int) override {
    return answer();
  }
  std::string acceptPKCS7(const std::string&, const std::string&, const std::string&,
                          int) override {
    return answer();
  }
  std::string sign(const std::string&, const std::string&, const std::string&, bool) override {
    return answer();
  }
  std::string signList(const std::string&, const std::string&, const json&) override {
    return answer();
  }
  Records listTokens() override { return listing(); }
  Records listCertificates() override { return listing(); }
  ankor::TokenStore* findStore(const std::string&, const std::string&) override {
    return haveStore ? this : nullptr;
  }
  std::string sign(const std::string&, const std::string&, const std::string&,
                   const std::string&, bool) override {
    return answer();
  }
  json signList(const std::string&, const std::string&, const std::string&,
               const json&) override {
    fail();
    return json::array({json{{"data", text}, {"id", 1}, {"signed", ""}}});
  }
  Records listObjects(const std::string&) override { return listing(); }
  std::string createKeyPair(const std::string&, const std::string&, int) override {
    return answer();
  }
  std::string getPublicKey(const std::string&) override { return answer(); }
  std::string importCertificate(const std::string&, const std::string&, const std::string&,
                                const std::string&, const std::string&) override {
    return answer();
  }
  std::string signWithKeyId(const std::string&, const std::string&, const std::string&,
                            const std::string&, bool) override {
    return answer();
  }

 private:
  void fail() {
    switch (outcome) {
      case Outcome::Return: return;
      case Outcome::ThrowRuntime: throw std::runtime_error(text);
      case Outcome::ThrowOtherStd: throw std::logic_error(text);
      case Outcome::ThrowNonStd: throw 42;
    }
  }
  std::string answer() {
    fail();
    answered = true;
    return text;
  }
  Records listing() {
    fail();
    return {json{{"text", text}}, json::object()};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  StubComponents components;
  const std::uint8_t control = input.byte();
  components.outcome = static_cast<Outcome>(control & 3);
  components.haveStore = (control & 4) == 0;
  components.managerFails = (control & 8) != 0;
  static const char* const kTexts[] = {"result", "caf\xC3\xA9", "bad \xFF\xFE bytes", ""};
  const bool echo = (control & 0x40) != 0;
  static const char* const kInputs[] = {"", "1234\r\nrest"};
  components.standardInput = kInputs[control >> 7];
  components.text = kTexts[(control >> 4) & 3];

  std::vector<std::string> words;
  while (!input.empty()) words.push_back(input.until('\0'));
  if (echo && !words.empty()) components.text = words.back();

  std::optional<json> envelope;
  try {
    envelope = ankor::dispatch(words, components);
  } catch (...) {
    FUZZ_CHECK(false, "a failure escaped the front end");
  }
  if (!envelope) {
    FUZZ_CHECK(words.size() < 3, "no envelope for %zu words", words.size());
    return 0;
  }
  FUZZ_CHECK(words.size() >= 3);
  const std::string printed = ankor::renderEnvelope(*envelope);
  const json parsed = json::parse(printed, nullptr, false);
  FUZZ_CHECK(!parsed.is_discarded(), "envelope is not JSON: %s", printed.c_str());
  FUZZ_CHECK(parsed.is_object() && parsed.size() == 1 &&
                 (parsed.contains("success") || parsed.contains("error")),
             "%s", printed.c_str());
  if (components.answered && parsed.contains("success") && parsed["success"].is_string() &&
      fuzz::isWellFormedUtf8(components.text)) {
    const std::string& shown = parsed["success"].get_ref<const std::string&>();
    // The PKCS#11 signing commands turn one fixed text into an error; any other
    // returned text is shown as it is.
    FUZZ_CHECK(shown == components.text, "shown %s for %s", shown.c_str(),
               components.text.c_str());
  }
  return 0;
}
