#include "orvask/black_list_input.h"

#include <json/json.h>

#include <array>
#include <memory>
#include <optional>
#include <vector>

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

struct PlainEntry {
  std::string_view name, productCode, version;
};

// The list in the form hosts send it, read without building a JSON tree:
//   {"content":[{"name":"…","productcode":"…","version":"…"}, …]}
// with whitespace between tokens, the three members in any order (each at most once, a
// missing one is empty) and plain strings. Anything else — an escape, a comment, another
// member, another value type, a byte order mark, text after the object — returns nothing
// and goes to the general reader. For every input accepted here the general reader
// builds the same value, so the entries are the same (checked by the tests against it).
class PlainList {
 public:
  explicit PlainList(std::string_view json) : at_(json.data()), end_(json.data() + json.size()) {}

  std::optional<std::vector<PlainEntry>> read() {
    std::vector<PlainEntry> entries;
    std::string_view key;
    if (!token('{') || !string(key) || key != "content" || !token(':') || !token('[')) return std::nullopt;
    if (!token(']')) {
      do {
        PlainEntry entry;
        if (!object(entry)) return std::nullopt;
        entries.push_back(entry);
      } while (token(','));
      if (!token(']')) return std::nullopt;
    }
    if (!token('}')) return std::nullopt;
    skipSpaces();
    if (at_ != end_) return std::nullopt;
    return entries;
  }

 private:
  // The reader's whitespace: space, tab, CR and LF.
  void skipSpaces() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\r' || *at_ == '\n')) ++at_;
  }
  bool token(char c) {
    skipSpaces();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  // A string without escapes; its bytes as they are, whatever they are.
  bool string(std::string_view& out) {
    if (!token('"')) return false;
    const char* start = at_;
    while (at_ != end_ && *at_ != '"') {
      if (*at_ == '\\') return false;
      ++at_;
    }
    if (at_ == end_) return false;
    out = std::string_view(start, static_cast<std::size_t>(at_ - start));
    ++at_;
    return true;
  }
  bool object(PlainEntry& entry) {
    if (!token('{')) return false;
    if (token('}')) return true;
    bool seenName = false, seenCode = false, seenVersion = false;
    do {
      std::string_view key, value;
      if (!string(key) || !token(':') || !string(value)) return false;
      bool* seen = key == "name" ? &seenName : key == "productcode" ? &seenCode
                 : key == "version" ? &seenVersion : nullptr;
      if (seen == nullptr || *seen) return false;
      *seen = true;
      (key == "name" ? entry.name : key == "productcode" ? entry.productCode : entry.version) = value;
    } while (token(','));
    return token('}');
  }

  const char* at_;
  const char* end_;
};

// Any JSON the reader takes (comments, escapes, other members and types included).
bool readGeneralList(std::string_view json, SoftwareMap& entries) {
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

}  // namespace

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

bool readBlackListJson(std::string_view json, SoftwareMap& entries, BlackListReader reader) {
  if (reader == BlackListReader::General) return readGeneralList(json, entries);
  const std::optional<std::vector<PlainEntry>> plain = PlainList(json).read();
  if (!plain) return readGeneralList(json, entries);
  SoftwareMap read;
  for (const PlainEntry& entry : *plain) {
    if (entry.name.empty()) break;
    if (read.find(entry.productCode) != read.end()) continue;  // the first one wins
    SoftwareRecord record;
    record.Name = entry.name;
    record.Version = entry.version;
    record.ProductCode = entry.productCode;
    addSoftware(read, std::move(record));
  }
  entries = std::move(read);
  return true;
}

bool readBlackListInput(std::string_view base64, SoftwareMap& entries) {
  return readBlackListJson(DecodeBase64(base64), entries);
}

}  // namespace orvask
