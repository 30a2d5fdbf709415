#include "ankor/core/encoding.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <random>

namespace ankor {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kIdentifierAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Value of a Base64 character; the zero byte decodes like "A" (64 has the same low
// six bits as 0); everything else, "=" included, has no value (-1).
constexpr std::array<std::int32_t, 256> makeBase64Values() {
  std::array<std::int32_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
  values[0] = 64;
  return values;
}
constexpr auto kBase64Values = makeBase64Values();

bool isCSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  if (size - i == 2) {
    const std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  } else if (size - i == 1) {
    const std::uint32_t v = data[i] << 16;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  }
  return out;
}

std::string base64Encode(const Bytes& data) { return base64Encode(data.data(), data.size()); }

Bytes base64Decode(std::string_view text) {
  std::string clean;
  clean.reserve(text.size() + 3);
  for (char c : text) {
    if (c != '\n' && c != '\r') clean += c;
  }
  // Padding may be left out: a tail after the last whole group, its own "=" dropped,
  // is completed with "=" into a group (two characters carry one byte, three carry
  // two); a single character carries no byte and is dropped.
  const std::size_t wholeLength = clean.size() / 4 * 4;
  if (wholeLength != clean.size()) {
    std::size_t tailEnd = clean.size();
    while (tailEnd > wholeLength && clean[tailEnd - 1] == '=') --tailEnd;
    const std::size_t tail = tailEnd - wholeLength;
    clean.resize(tail >= 2 ? tailEnd : wholeLength);
    if (tail >= 2) clean.append(4 - tail, '=');
  }
  const std::size_t n = clean.size();
  std::size_t pad = 0;
  if (n >= 2 && clean[n - 1] == '=' && clean[n - 2] == '=') {
    pad = 2;
  } else if (n >= 1 && clean[n - 1] == '=') {
    pad = 1;
  }
  // Whole groups only from here, so a text with a pad has at least three bytes.
  Bytes out((n / 4) * 3 - pad, 0);

  std::size_t written = 0;
  auto put = [&](std::int32_t value) {
    if (written < out.size()) out[written] = static_cast<std::uint8_t>(value & 0xFF);
    ++written;
  };
  for (std::size_t g = 0; g + 4 <= n; g += 4) {
    const std::int32_t first = kBase64Values[static_cast<unsigned char>(clean[g])];
    const std::int32_t second = kBase64Values[static_cast<unsigned char>(clean[g + 1])];
    const std::int32_t third = kBase64Values[static_cast<unsigned char>(clean[g + 2])];
    const std::int32_t fourth = kBase64Values[static_cast<unsigned char>(clean[g + 3])];
    // Shifts on unsigned values: the result's low eight bits are those of the signed
    // arithmetic, without undefined behaviour for -1.
    const auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
    put(static_cast<std::int32_t>((u(first) << 2) | ((u(second) >> 4) & 3)));
    if (third != -1) {
      put(static_cast<std::int32_t>((u(second) << 4) | ((u(third) >> 2) & 15)));
      if (fourth != -1) put(static_cast<std::int32_t>((u(third) << 6) | (u(fourth) & 63)));
    }
  }
  return out;
}

std::string hexEncode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHexDigits[data[i] >> 4];
    out += kHexDigits[data[i] & 15];
  }
  return out;
}

std::string hexEncode(const Bytes& data) { return hexEncode(data.data(), data.size()); }

Bytes hexDecode(std::string_view text) {
  auto value = [](char c) -> std::uint8_t {
    const char* p = c == '\0' ? nullptr : std::strchr(kHexDigits, c);
    return p ? static_cast<std::uint8_t>(p - kHexDigits) : 15;
  };
  Bytes out(text.size() / 2, 0);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(value(text[2 * i]) * 16 + value(text[2 * i + 1]));
  }
  return out;
}

Bytes reverseBytes(const std::uint8_t* data, std::size_t size) {
  Bytes out(data, data + size);
  std::reverse(out.begin(), out.end());
  return out;
}

std::string fixedFieldText(const void* field, std::size_t size) {
  if (size == 0) return {};
  const auto* bytes = static_cast<const char*>(field);
  const std::size_t limit = size - 1;
  std::size_t len = 0;
  while (len < limit && bytes[len] != '\0') ++len;
  std::size_t begin = 0;
  std::size_t end = len;
  while (end > begin && isCSpace(static_cast<unsigned char>(bytes[end - 1]))) --end;
  while (begin < end && isCSpace(static_cast<unsigned char>(bytes[begin]))) ++begin;
  return std::string(bytes + begin, end - begin);
}

std::string randomAlphanumeric(std::size_t count) {
  std::string alphabet = kIdentifierAlphabet;
  std::random_device source;
  std::mt19937 generator(static_cast<std::uint32_t>(source()));
  // Fisher-Yates: each arrangement equally likely.
  for (std::size_t i = alphabet.size() - 1; i > 0; --i) {
    std::uniform_int_distribution<std::size_t> pick(0, i);
    std::swap(alphabet[i], alphabet[pick(generator)]);
  }
  return alphabet.substr(0, std::min(count, alphabet.size()));
}

bool parseBoolWord(std::string_view word) {
  std::size_t i = 0;
  while (i < word.size() && isCSpace(static_cast<unsigned char>(word[i]))) ++i;
  constexpr std::string_view kTrue = "true";
  if (word.size() - i < kTrue.size()) return false;
  for (std::size_t k = 0; k < kTrue.size(); ++k) {
    char c = word[i + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[k]) return false;
  }
  return true;
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

std::string textUpToZero(const Bytes& bytes) {
  const auto zero = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  return std::string(bytes.begin(), zero);
}

void secureWipe(void* data, std::size_t size) noexcept {
  volatile auto* bytes = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *bytes++ = 0;
}

int parseAtoi(std::string_view word) {
  std::size_t i = 0;
  while (i < word.size() && isCSpace(static_cast<unsigned char>(word[i]))) ++i;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  long long value = 0;
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    value = value * 10 + (word[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

}  // namespace ankor
