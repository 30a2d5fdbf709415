// Shared by the fuzz targets: a reader that takes a target's answers from the fuzz
// input, and the oracle check that stops the run on a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// A finding: the message on standard error, then abort(), which libFuzzer and the
// replay both report as a crash with the input that caused it.
#define FUZZ_CHECK(condition, ...)                                              \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "oracle failed at %s:%d: %s\n", __FILE__, __LINE__, \
                   #condition);                                                 \
      std::fprintf(stderr, " " __VA_ARGS__);                                    \
      std::fprintf(stderr, "\n");                                               \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

// Reads the input front to back; past its end every read gives zero bytes, so a
// short input still drives the target to an end.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] bool empty() const { return at_ >= size_; }
  [[nodiscard]] std::size_t remaining() const { return empty() ? 0 : size_ - at_; }

  std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }

  // The bytes up to the next separator (which is consumed), or up to the end.
  std::string until(char separator) {
    std::string out;
    while (!empty()) {
      const char c = static_cast<char>(data_[at_++]);
      if (c == separator) break;
      out += c;
    }
    return out;
  }
  // Up to count bytes.
  std::string take(std::size_t count) {
    const std::size_t n = count < remaining() ? count : remaining();
    std::string out(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return out;
  }
  // Everything that is left.
  std::string rest() { return take(remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Well-formed UTF-8 in the terms of Unicode's table 3-7, decoding each sequence to its
// code point (the checks of the code under test look at byte ranges instead).
inline bool isWellFormedUtf8(std::string_view text, std::size_t* firstBad = nullptr) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (b(0) < 0x80) {
      length = 1;
      code = b(0);
    } else if ((b(0) & 0xE0) == 0xC0) {
      length = 2;
      code = b(0) & 0x1F;
    } else if ((b(0) & 0xF0) == 0xE0) {
      length = 3;
      code = b(0) & 0x0F;
    } else if ((b(0) & 0xF8) == 0xF0) {
      length = 4;
      code = b(0) & 0x07;
    }
    bool ok = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      ok = (b(k) & 0xC0) == 0x80;
      code = (code << 6) | (b(k) & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && code >= kSmallest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    if (!ok) {
      if (firstBad != nullptr) *firstBad = i;
      return false;
    }
    i += length;
  }
  return true;
}

// Each byte that does not begin a well-formed sequence becomes U+FFFD, one per byte.
inline std::string replaceIllFormedBytes(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t bad = 0;
    if (isWellFormedUtf8(text, &bad)) {
      out.append(text);
      break;
    }
    // Everything before the first bad sequence is well-formed; the bad lead byte goes.
    out.append(text.substr(0, bad));
    out += "\xEF\xBF\xBD";
    text.remove_prefix(bad + 1);
  }
  return out;
}

}  // namespace fuzz
