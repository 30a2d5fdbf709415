#include "orvask/black_list_input.h"

#include <json/json.h>

#include <memory>

namespace orvask {

std::string DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned accumulator = 0;
  int bits = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) break;  // "=" or any foreign character ends the input
    accumulator = ((accumulator << 6) | static_cast<unsigned>(v)) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((accumulator >> bits) & 0xFFu));
    }
  }
  return out;
}

bool readBlackListInput(std::string_view base64, SoftwareMap& entries) {
  const std::string json = DecodeBase64(base64);
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
    if (!item.isObject() && !item.isNull()) return false;
    SoftwareRecord record;
    if (!text(item, "name", record.Name)) return false;
    if (record.Name.empty()) break;
    if (!text(item, "productcode", record.ProductCode) || !text(item, "version", record.Version)) return false;
    addSoftware(read, std::move(record));
  }
  entries = std::move(read);
  return true;
}

}  // namespace orvask
