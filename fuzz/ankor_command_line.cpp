// The command line of ankor: the input split at zero bytes into words and given to the
// front end, behind the shared fake components, which answer with fixed texts or fail
// on request.
// Oracle: nothing escapes the front end; the printed envelope parses as JSON and has
// exactly one member, "success" or "error"; a component's well-formed text arrives
// unchanged, and a listing's records arrive as its array.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/front/dispatch.h"
#include "ankor/front/fake_components.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  using ankor::fakes::Outcome;
  fuzz::Input input(data, size);
  ankor::fakes::FakeComponents components;
  const std::uint8_t control = input.byte();
  components.outcome = static_cast<Outcome>(control & 3);
  components.haveStore = (control & 4) == 0;
  components.managerFails = (control & 8) != 0;
  static const char* const kTexts[] = {"result", "caf\xC3\xA9", "bad \xFF\xFE bytes", ""};
  const bool echo = (control & 0x40) != 0;
  static const char* const kInputs[] = {"", "1234\r\nrest"};
  components.input = kInputs[control >> 7];
  components.text = kTexts[(control >> 4) & 3];

  std::vector<std::string> words;
  while (!input.empty()) words.push_back(input.until('\0'));
  if (echo && !words.empty()) components.text = words.back();
  components.runtimeMessage = components.otherMessage = components.text;
  components.records = {json{{"text", components.text}}, json::object()};

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
  if (parsed.contains("success") && parsed["success"].is_array() &&
      fuzz::isWellFormedUtf8(components.text)) {
    // The listings (tokens, certificates, certificate details, objects, the store's
    // certificates, the modules) and the token signList put the records as they came.
    FUZZ_CHECK(parsed["success"] == json(components.records), "%s", printed.c_str());
  }
  return 0;
}
