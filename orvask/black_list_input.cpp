#include "orvask/black_list_input.h"

#include <json/json.h>

#include <array>
#include <memory>

namespace orvask {

namespace {

// Each character's value in the Base64 alphabet, -1 outside it.
constexpr std::array<signed char, 256> kBase64Values = [] {
  std::array<signed char, 256> table{};
  table.fill(-1);
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  return table;
}();

}  // namespace

// JsonCpp's reader at its default settings: comments, a root of any type, trailing text
// and duplicate keys allowed.
bool readBlackListJson(std::string_view json, SoftwareMap& entries) {
  Json::Value root;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  try {
    if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors)) return false;
  } catch (const Json::Exception&) {
    return false;  // the reader throws instead of failing when nesting exceeds its limit
  }
  // Shapes that cannot hold the list end the command like unreadable input.
  if (!root.isObject() && !root.isNull()) return false;
  const Json::Value& content = root["content"];
  if (!content.isArray() && !content.isNull()) return false;
  auto text = [](const Json::Value& item, const char* member, std::string& out) {
    const Json::Value& value = item[member];
    if (value.isArray() || value.isObject()) return false;
    out = value.asString();
    return true;
  };
  SoftwareMap read;
  for (Json::ArrayIndex i = 0; i < content.size(); ++i) {
    const Json::Value& item = content[i];
    if (!item.isObject()) return false;  // null and every other value are not an entry
    SoftwareRecord record;
    if (!text(item, "name", record.Name)) return false;
    if (record.Name.empty()) break;
    if (!text(item, "productcode", record.ProductCode) || !text(item, "version", record.Version)) return false;
    addSoftware(read, std::move(record));
  }
  entries = std::move(read);
  return true;
}

std::string DecodeBase64(std::string_view text) {
  std::string out(text.size() / 4 * 3 + 2, '\0');
  std::size_t n = 0, i = 0;
  auto value = [&](std::size_t at) { return kBase64Values[static_cast<unsigned char>(text[at])]; };
  // Whole groups of four characters, three bytes each.
  for (; i + 4 <= text.size(); i += 4) {
    const int a = value(i), b = value(i + 1), c = value(i + 2), d = value(i + 3);
    if ((a | b | c | d) < 0) break;
    const auto group = static_cast<unsigned>(a << 18 | b << 12 | c << 6 | d);
    out[n++] = static_cast<char>(group >> 16);
    out[n++] = static_cast<char>((group >> 8) & 0xFFu);
    out[n++] = static_cast<char>(group & 0xFFu);
  }
  // The rest, a character at a time: a byte whenever eight bits are in.
  unsigned accumulator = 0;
  int bits = 0;
  for (; i < text.size(); ++i) {
    const int v = value(i);
    if (v < 0) break;  // "=" or any foreign character ends the input
    accumulator = ((accumulator << 6) | static_cast<unsigned>(v)) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = static_cast<char>((accumulator >> bits) & 0xFFu);
    }
  }
  out.resize(n);
  return out;
}

bool readBlackListInput(std::string_view base64, SoftwareMap& entries) {
  return readBlackListJson(DecodeBase64(base64), entries);
}

}  // namespace orvask
