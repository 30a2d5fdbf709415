#include "ankor/core/encoding.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace ankor {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(Base64, EncodesRfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(base64Encode(bytesOf(plain)), encoded) << plain;
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
  const Bytes all = [] {
    Bytes b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<std::uint8_t>(i));
    return b;
  }();
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

// Line feeds and carriage returns are dropped wherever they stand; spaces are not.
TEST(Base64, DecoderSkipsLineBreaksOnly) {
  EXPECT_EQ(base64Decode("Zm9v\nYmFy"), bytesOf("foobar"));
  EXPECT_EQ(base64Decode("Zm\r\n9vYm\rFy\n"), bytesOf("foobar"));
  EXPECT_NE(base64Decode("Zm9v YmFy"), bytesOf("foobar"));
}

TEST(Base64, DecoderEdgeCases) {
  EXPECT_TRUE(base64Decode("").empty());
  // Two padded blocks joined: bytes follow each other, the zero gap sits at the end.
  const Bytes joined = base64Decode("Zg==Zg==");
  ASSERT_EQ(joined.size(), 4u);
  EXPECT_EQ(joined, (Bytes{'f', 'f', 0, 0}));
  // The zero byte decodes like "A".
  EXPECT_EQ(base64Decode(std::string("QUJD", 4)), base64Decode(std::string("QUJD")));
  EXPECT_EQ(base64Decode(std::string("\0\0\0\0", 4)), base64Decode("AAAA"));
}

// Padding may be left out: a tail of two or three characters decodes as if padded, a
// single leftover character carries nothing, and nothing is written past the result
// (run under ASan).
TEST(Base64, DecoderReadsUnpaddedTails) {
  const std::pair<const char*, Bytes> cases[] = {
      {"aGVsbG8", bytesOf("hello")}, {"aGVsbA", bytesOf("hell")}, {"Zg", bytesOf("f")},
      {"Zm8", bytesOf("fo")},        {"Zm9vYg", bytesOf("foob")}, {"Zm9vYmE", bytesOf("fooba")},
      {"Zm9vY", bytesOf("foo")},     {"Z", Bytes{}},              {"Zm9vYm=", bytesOf("foob")},
      {"Zm9vY=", bytesOf("foo")},    {"Zm9v=", bytesOf("foo")},   {"==", Bytes{}},
      {"Zm9vA==", bytesOf("foo")},   {"Zm9vYg==Z", bytesOf("foob")},
      {"Zm\n9vYm\r\nE", bytesOf("fooba")}, {"Zm9vYm==", bytesOf("foob")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(base64Decode(text), expected) << text;
  // Every length of input, encoded and then stripped of its padding, comes back whole.
  Bytes input;
  for (int i = 0; i < 10; ++i, input.push_back(static_cast<std::uint8_t>(0xF0 + i))) {
    std::string encoded = base64Encode(input);
    while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
    EXPECT_EQ(base64Decode(encoded), input) << encoded;
  }
}

TEST(Hex, EncodeAndDecode) {
  EXPECT_EQ(hexEncode(Bytes{0x00, 0x0f, 0xa5, 0xff}), "000fa5ff");
  EXPECT_EQ(hexDecode("000fa5ff"), (Bytes{0x00, 0x0f, 0xa5, 0xff}));
  // Upper-case digits count as 15; an unpaired last digit is dropped.
  EXPECT_EQ(hexDecode("A5"), (Bytes{0xf5}));
  EXPECT_EQ(hexDecode("abc"), (Bytes{0xab}));
  EXPECT_TRUE(hexDecode("").empty());
}

TEST(ReverseBytes, ReversesOrder) {
  const Bytes in{1, 2, 3};
  EXPECT_EQ(reverseBytes(in.data(), in.size()), (Bytes{3, 2, 1}));
  EXPECT_TRUE(reverseBytes(nullptr, 0).empty());
}

TEST(FixedFieldText, TrimsPaddingAndStopsAtZero) {
  char label[32];
  std::fill(std::begin(label), std::end(label), ' ');
  std::copy_n("MY TOKEN", 8, label);
  EXPECT_EQ(fixedFieldText(label, sizeof label + 1), "MY TOKEN");
  label[0] = '\0';
  EXPECT_EQ(fixedFieldText(label, sizeof label + 1), "");
  const char serial[16] = {'0', 'A', '1', 'B', '2', 'C', '3', 'D', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  EXPECT_EQ(fixedFieldText(serial, 17), "0A1B2C3D");
  const char padded[16] = {' ', '\t', 'x', ' ', 'y', '\r', '\n', 0, 'z', 'z', 'z', 'z', 'z', 'z', 'z', 'z'};
  EXPECT_EQ(fixedFieldText(padded, 17), "x y");
  // A field without any zero byte ends after its size - 1 bytes.
  const char full[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
  EXPECT_EQ(fixedFieldText(full, 17), "ABCDEFGHIJKLMNOP");
}

TEST(RandomAlphanumeric, DistinctCharactersOfTheAlphabet) {
  for (int round = 0; round < 50; ++round) {
    const std::string id = randomAlphanumeric(4);
    ASSERT_EQ(id.size(), 4u);
    EXPECT_EQ(std::set<char>(id.begin(), id.end()).size(), 4u) << id;
    for (char c : id) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << id;
  }
  const std::string all = randomAlphanumeric(100);
  EXPECT_EQ(all.size(), 62u);
  EXPECT_EQ(std::set<char>(all.begin(), all.end()).size(), 62u);
  // Fresh seeds: twenty draws are not all the same.
  std::set<std::string> draws;
  for (int i = 0; i < 20; ++i) draws.insert(randomAlphanumeric(4));
  EXPECT_GT(draws.size(), 1u);
}

TEST(ParseBoolWord, OnlyWordsBeginningWithTrue) {
  for (const char* yes : {"true", "TRUE", "True", "  true", "\ttrue", "trueish", "tRuE"})
    EXPECT_TRUE(parseBoolWord(yes)) << yes;
  for (const char* no : {"false", "1", "yes", "t", "", " ", "tru", "xtrue", "on"})
    EXPECT_FALSE(parseBoolWord(no)) << no;
}

TEST(ParseAtoi, FollowsCRules) {
  const std::pair<const char*, int> cases[] = {
      {"1024", 1024}, {"  42x", 42}, {"-7", -7}, {"+8", 8}, {"abc", 0}, {"", 0},
      {"3000", 3000}, {"99999999999999", 2147483647}, {"-99999999999999", -2147483647 - 1},
  };
  for (const auto& [word, value] : cases) EXPECT_EQ(parseAtoi(word), value) << word;
}

TEST(FileExists, FilesAndDirectories) {
  const std::string self = ::testing::UnitTest::GetInstance()->original_working_dir();
  EXPECT_TRUE(fileExists(self));
  EXPECT_FALSE(fileExists(self + "/no-such-file-here"));
  EXPECT_FALSE(fileExists(""));
}

TEST(TextUpToZero, StopsAtFirstZero) {
  EXPECT_EQ(textUpToZero(Bytes{'a', 'b', 0, 'c'}), "ab");
  EXPECT_EQ(textUpToZero(Bytes{'a', 'b'}), "ab");
}

}  // namespace
}  // namespace ankor
