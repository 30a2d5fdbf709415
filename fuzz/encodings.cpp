// The shared encoders of ankor: Base64 and hexadecimal both ways, the boolean word, the
// atoi parser, the text up to the first zero byte and the UTF-8 cleaning of the envelope.
// Oracles: each decoder gives back what its encoder was given; the Base64 decoder agrees
// with OpenSSL's on every text OpenSSL accepts; the atoi parser agrees with strtol
// clamped to int; the boolean word agrees with a text stream's boolalpha reading; the
// envelope is always well-formed UTF-8 and keeps text that already was.
#include <openssl/evp.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "ankor/core/encoding.h"
#include "ankor/front/dispatch.h"
#include "fuzz/fuzz_support.h"

namespace {

using ankor::Bytes;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// OpenSSL's decoding of a whole text, or nothing when it refuses the text.
std::optional<Bytes> opensslDecode(const std::string& text) {
  std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> context(EVP_ENCODE_CTX_new(),
                                                                          EVP_ENCODE_CTX_free);
  FUZZ_CHECK(context != nullptr);
  EVP_DecodeInit(context.get());
  Bytes out(text.size() + 80, 0);
  int length = 0;
  if (EVP_DecodeUpdate(context.get(), out.data(), &length,
                       reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size())) < 0) {
    return std::nullopt;
  }
  int tail = 0;
  if (EVP_DecodeFinal(context.get(), out.data() + length, &tail) < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(length + tail));
  return out;
}

void checkBase64(const std::string& text) {
  const Bytes bytes = bytesOf(text);
  const std::string encoded = ankor::base64Encode(bytes);
  FUZZ_CHECK(encoded.size() == (bytes.size() + 2) / 3 * 4);
  FUZZ_CHECK(ankor::base64Decode(encoded) == bytes, "round trip of %zu bytes", bytes.size());

  // The text itself as Base64: whatever it holds, the decoder answers without reading or
  // writing out of bounds; where OpenSSL accepts a text of the alphabet, "=" and line
  // breaks, both give the same bytes.
  const Bytes decoded = ankor::base64Decode(text);
  const bool comparable = text.find_first_not_of(
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n") ==
                          std::string::npos;
  if (comparable) {
    if (const auto reference = opensslDecode(text)) {
      FUZZ_CHECK(decoded == *reference, "Base64 decoder and OpenSSL differ on \"%s\"",
                 text.c_str());
    }
  }
}

void checkHex(const std::string& text) {
  const Bytes bytes = bytesOf(text);
  const std::string encoded = ankor::hexEncode(bytes);
  FUZZ_CHECK(encoded.size() == 2 * bytes.size());
  FUZZ_CHECK(ankor::hexDecode(encoded) == bytes);
  // Any text: half its length, each pair by the digits' values, others counting as 15.
  const Bytes decoded = ankor::hexDecode(text);
  FUZZ_CHECK(decoded.size() == text.size() / 2);
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 15;
  };
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    FUZZ_CHECK(decoded[i] == value(text[2 * i]) * 16 + value(text[2 * i + 1]));
  }
}

void checkBoolWord(const std::string& word) {
  // A stream reading a boolean in its alphabetic form, from the lower-cased word; only
  // the text before a zero byte, as in a command-line word.
  std::string lower = word.substr(0, word.find('\0'));
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::istringstream stream(lower);
  bool value = false;
  stream >> std::boolalpha >> value;
  const bool expected = !stream.fail() && value;
  FUZZ_CHECK(ankor::parseBoolWord(word.substr(0, word.find('\0'))) == expected, "word \"%s\"",
             word.c_str());
}

void checkAtoi(const std::string& word) {
  const std::string text = word.substr(0, word.find('\0'));
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  const long long clamped = value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value;
  FUZZ_CHECK(ankor::parseAtoi(text) == clamped, "\"%s\": %d, strtoll %lld", text.c_str(),
             ankor::parseAtoi(text), value);
}

void checkTextUpToZero(const std::string& text) {
  const Bytes bytes = bytesOf(text);
  const std::string expected(text.c_str());  // the C string view of the same bytes
  FUZZ_CHECK(ankor::textUpToZero(bytes) == expected);
}

void checkEnvelopeText(const std::string& text) {
  const std::string printed = ankor::renderEnvelope(nlohmann::json{{"success", text}});
  FUZZ_CHECK(fuzz::isWellFormedUtf8(printed), "envelope is not UTF-8");
  const auto parsed = nlohmann::json::parse(printed, nullptr, false);
  FUZZ_CHECK(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 1 &&
             parsed["success"].is_string());
  if (fuzz::isWellFormedUtf8(text)) FUZZ_CHECK(parsed["success"] == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t mode = input.byte();
  std::string text = input.rest();
  if (mode & 1) {
    // Mostly Base64 characters and line breaks, which OpenSSL accepts far more often.
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n";
    for (char& c : text) c = kAlphabet[static_cast<unsigned char>(c) % (sizeof kAlphabet - 1)];
  }
  checkBase64(text);
  checkHex(text);
  checkBoolWord(text);
  checkAtoi(text);
  checkTextUpToZero(text);
  checkEnvelopeText(text);
  return 0;
}
