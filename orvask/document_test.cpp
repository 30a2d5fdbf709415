// The verdict document is written directly; JsonCpp's default stream writer is the
// reference it must equal byte for byte, on random texts of every kind of byte.
#include <gtest/gtest.h>
#include <json/json.h>

#include <random>

#include "orvask/checker.h"

namespace orvask {
namespace {

// Well-formed UTF-8 of the text, each byte outside a well-formed sequence replaced by
// U+FFFD: the Unicode table of well-formed byte sequences, written out as ranges.
std::string repaired(const std::string& text) {
  struct Form {
    unsigned char lead_low, lead_high, second_low, second_high;
    int length;
  };
  static constexpr Form kForms[] = {
      {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
      {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    if (at(i) < 0x80) {
      out += text[i++];
      continue;
    }
    int length = 0;
    for (const Form& f : kForms) {
      if (at(i) < f.lead_low || at(i) > f.lead_high || i + f.length > text.size()) continue;
      if (at(i + 1) < f.second_low || at(i + 1) > f.second_high) continue;
      bool rest = true;
      for (int k = 2; k < f.length; ++k) rest = rest && at(i + k) >= 0x80 && at(i + k) <= 0xBF;
      if (rest) length = f.length;
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, static_cast<std::size_t>(length));
      i += static_cast<std::size_t>(length);
    }
  }
  return out;
}

// The document as JsonCpp builds and writes it.
std::string reference(int code, const char* message, const SoftwareMap* listed) {
  Json::Value error(Json::objectValue);
  error["id"] = code;
  error["message"] = message;
  Json::Value success(Json::objectValue);
  success["error"] = error;
  if (listed != nullptr && !listed->empty()) {
    Json::Value softwares(Json::arrayValue);
    for (const auto& [key, record] : *listed) {
      Json::Value item(Json::objectValue);
      item["name"] = repaired(record.Name);
      item["uuid"] = repaired(record.ProductCode);
      item["path"] = repaired(record.Path);
      item["dtInstall"] = repaired(record.Date);
      softwares.append(item);
    }
    success["softwares"] = softwares;
  }
  Json::Value root(Json::objectValue);
  root["success"] = success;
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

// Random text: ASCII with controls and NUL, well-formed sequences of every length, and
// broken ones (stray continuation bytes, cut, overlong, surrogates, beyond U+10FFFF).
std::string randomText(std::mt19937& random) {
  static const std::vector<std::string> kPieces = {
      "a", "Z", " ", "\"", "\\", "/", "'", "\x7f", std::string(1, '\0'), "\x01", "\x1f", "\b", "\f", "\n", "\r",
      "\t", "\xc3\xa7", "\xc2\x80", "\xdf\xbf", "\xe2\x82\xac", "\xef\xbf\xbd", "\xef\xbf\xbf", "\xe0\xa0\x80",
      "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80", "\x80", "\xbf", "\xc3", "\xe2\x82", "\xf0\x9f\x98",
      "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff"};
  std::string text;
  const int pieces = std::uniform_int_distribution<int>(0, 12)(random);
  for (int i = 0; i < pieces; ++i) {
    if (random() % 4 == 0) text += static_cast<char>(random() % 256);  // any byte at all
    else text += kPieces[random() % kPieces.size()];
  }
  return text;
}

TEST(ResultDocument, EqualsJsonCppOnRandomTexts) {
  std::mt19937 random(20241210);
  for (int round = 0; round < 400; ++round) {
    SoftwareMap listed;
    const int count = std::uniform_int_distribution<int>(0, 4)(random);
    for (int i = 0; i < count; ++i)
      addSoftware(listed, SoftwareRecord{randomText(random), randomText(random), randomText(random),
                                         randomText(random), randomText(random)});
    const SoftwareMap none;
    ASSERT_EQ(resultDocument(61464, listed, none),
              reference(61464, "Software(s) instalado(s) consta(m) na BlackList.", &listed))
        << round;
    ASSERT_EQ(resultDocument(61474, none, listed), reference(61474, "Novo(s) software(s) instalado(s).", &listed))
        << round;
  }
  const SoftwareMap none;
  EXPECT_EQ(resultDocument(0, none, none), reference(0, "Maquina liberada para uso.", nullptr));
  EXPECT_EQ(resultDocument(61451, none, none),
            reference(61451, "Drive [V:] nao esta mapeado ou esta em estado de erro.", nullptr));
  EXPECT_EQ(resultDocument(61465, none, none), reference(61465, "BlackList atualizada.", nullptr));
  EXPECT_EQ(resultDocument(12345, none, none), reference(0, "Maquina liberada para uso.", nullptr));
}

}  // namespace
}  // namespace orvask
