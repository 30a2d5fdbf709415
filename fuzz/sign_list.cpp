// The signList document through the front end and the signer, on the scriptable
// platform: any bytes as the Base64 list (or, to reach deeper, any bytes as the JSON
// text the harness encodes), with an optional platform failure.
// Oracle: no crash or leak, every platform handle released, and the envelope holds
// either the result array (one item per element, its value and id, the platform's
// signature) or one of the signer's documented failure texts.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ankor/capi/fake_platform.h"
#include "ankor/capi/keystore.h"
#include "ankor/capi/signer.h"
#include "ankor/front/dispatch.h"
#include "fuzz/fuzz_support.h"

namespace {

using nlohmann::json;

// The CryptoAPI components on the scriptable platform; the key store is made (the
// front end asks for it first) but not used by this command.
class CapiOnly final : public ankor::Components {
 public:
  explicit CapiOnly(ankor::capi::CryptoPlatform& platform) : keyStore_(platform), signer_(platform) {}
  ankor::KeyStore& keyStore() override { return keyStore_; }
  ankor::Signer& signer() override { return signer_; }
  ankor::TokenManager& tokenManager(const std::string&) override { std::abort(); }
  void releaseTokenManager() override {}
  std::string readStandardInput(std::size_t) override { std::abort(); }
  const ankor::CertificateDecoder& certificateDecoder() override { std::abort(); }
  ankor::ModuleInspector& moduleInspector() override { std::abort(); }

 private:
  ankor::capi::CapiKeyStore keyStore_;
  ankor::capi::CapiSigner signer_;
};

bool documentedFailure(const std::string& text) {
  static const char* const kPrefixes[] = {
      "[json.exception.", "Err ", "(CryptCreateHash ", "The property was not retrieved.",
      "Error in allocation of memory."};
  for (const char* prefix : kPrefixes) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The elements the signer visits: an array's elements, an object's member values, one
// scalar, none for null.
std::vector<json> itemsOf(const json& document) {
  std::vector<json> items;
  for (const json& element : document) items.push_back(element);
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t control = input.byte();
  static const char* const kAlgorithms[] = {"sha1", "sha256", "sha512", "md5"};
  static const char* const kCalls[] = {"createHash", "hashData", "setHashParam", "signHash",
                                       "findCertificateBySha1", "acquireContext"};
  const std::string algorithm = kAlgorithms[control & 3];
  const bool encodeHere = (control & 4) != 0;

  ankor::capi::FakePlatform platform;
  platform.storedRecord = ankor::capi::KeyProvInfo{
      u"container", u"Microsoft Enhanced RSA and AES Cryptographic Provider", 24, 0, 1};
  if (control & 8) {
    const std::uint8_t which = input.byte();
    platform.failOn(kCalls[which % 6], 0x80090020, 1 + (which >> 4));
  }
  const std::string text = input.rest();
  const std::string listWord = encodeHere ? ankor::base64Encode(
                                                reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size())
                                          : text.substr(0, text.find('\0'));

  std::optional<json> envelope;
  {
    CapiOnly components(platform);
    envelope = ankor::dispatch({"capi", "crypt", "signList", "00112233", algorithm, listWord},
                               components);
  }
  FUZZ_CHECK(platform.openHandles == 0, "%d handles left open", platform.openHandles);
  FUZZ_CHECK(envelope && envelope->is_object() && envelope->size() == 1);
  const std::string printed = ankor::renderEnvelope(*envelope);
  FUZZ_CHECK(!json::parse(printed, nullptr, false).is_discarded());

  if (envelope->contains("error")) {
    const json& error = (*envelope)["error"];
    FUZZ_CHECK(error.is_string() && documentedFailure(error.get<std::string>()), "%s",
               printed.c_str());
    return 0;
  }
  FUZZ_CHECK(envelope->contains("success") && (*envelope)["success"].is_string(), "%s",
             printed.c_str());
  const json result = json::parse((*envelope)["success"].get<std::string>(), nullptr, false);
  FUZZ_CHECK(result.is_array(), "%s", printed.c_str());
  // The document as the front end read it: decoded, up to its first zero byte, parsed.
  const std::string listText = ankor::textUpToZero(ankor::base64Decode(listWord));
  const std::vector<json> items = itemsOf(json::parse(listText));
  FUZZ_CHECK(result.size() == items.size(), "%zu results for %zu items", result.size(),
             items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const json& item = result[i];
    FUZZ_CHECK(item.is_object() && item.size() == 3 && item.contains("data") &&
               item.contains("id") && item.contains("signed"));
    FUZZ_CHECK(item["data"] == items[i]["value"]);
    const json id = items[i].is_object() && items[i].contains("id") ? items[i]["id"] : json();
    FUZZ_CHECK(item["id"] == id);
    // The platform's signature {1, 2, 3}, most significant byte first.
    FUZZ_CHECK(item["signed"] == "AwIB", "%s", printed.c_str());
  }
  return 0;
}
