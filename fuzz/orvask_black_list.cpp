// Orvask's UpdateBlackList input (Base64, the JSON reader, the entry rules) through the
// program's entry against an in-memory database: any bytes as the Base64 word, or any
// bytes as the JSON text the harness encodes.
// Oracle: the rows stored equal what an independent walk of the parsed JSON value says
// (the first entry of a product code wins, reading stops at the first entry without a
// name, a shape that cannot hold the list stores nothing and prints "error").
#include <sqlite3.h>

#include <json/json.h>

#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "orvask/app.h"
#include "orvask/checker.h"
#include "orvask/encode_base64.h"
#include "fuzz/fuzz_support.h"

namespace {

using Row = std::vector<std::string>;  // Name, Version, ProductCode, Path, Date

constexpr const char* kDatabase = "file:orvask-fuzz?mode=memory&cache=shared";

// Keeps the shared in-memory database alive between the program's own connections.
sqlite3* database() {
  static sqlite3* db = [] {
    sqlite3_config(SQLITE_CONFIG_URI, 1);
    sqlite3* handle = nullptr;
    FUZZ_CHECK(sqlite3_open_v2(kDatabase, &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                               nullptr) == SQLITE_OK);
    FUZZ_CHECK(sqlite3_exec(handle,
                            "CREATE TABLE TBBlackList (IDBlackList INTEGER PRIMARY KEY "
                            "AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, "
                            "Date TEXT);",
                            nullptr, nullptr, nullptr) == SQLITE_OK);
    return handle;
  }();
  return db;
}

std::vector<Row> storedRows() {
  sqlite3_stmt* statement = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(database(),
                                "SELECT Name, Version, ProductCode, Path, Date FROM TBBlackList "
                                "ORDER BY IDBlackList",
                                -1, &statement, nullptr) == SQLITE_OK);
  std::vector<Row> rows;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    Row row;
    for (int c = 0; c < 5; ++c) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
      row.emplace_back(text != nullptr ? std::string(text, static_cast<std::size_t>(
                                                               sqlite3_column_bytes(statement, c)))
                                       : std::string());
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  return rows;
}

// Base64 as the command documents it: decoding stops at "=" or at the first character
// outside the alphabet; a last group of two or three characters gives one or two bytes.
std::string decodeBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned> values;
  for (const char c : text) {
    const std::size_t v = kAlphabet.find(c);
    if (c == '\0' || v == std::string::npos) break;
    values.push_back(static_cast<unsigned>(v));
  }
  std::string out;
  std::size_t i = 0;
  for (; i + 4 <= values.size(); i += 4) {
    const unsigned group = values[i] << 18 | values[i + 1] << 12 | values[i + 2] << 6 | values[i + 3];
    out += static_cast<char>(group >> 16);
    out += static_cast<char>((group >> 8) & 0xFF);
    out += static_cast<char>(group & 0xFF);
  }
  const std::size_t left = values.size() - i;
  if (left >= 2) {
    const unsigned group = values[i] << 18 | values[i + 1] << 12 | (left == 3 ? values[i + 2] << 6 : 0);
    out += static_cast<char>(group >> 16);
    if (left == 3) out += static_cast<char>((group >> 8) & 0xFF);
  }
  return out;
}

// The rows the input should store, or nothing when the command must answer "error".
std::optional<std::vector<Row>> expectedRows(const std::string& word) {
  const std::string text = decodeBase64(word);
  Json::Value root;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!root.isObject() && !root.isNull()) return std::nullopt;
  const Json::Value content = root.isObject() && root.isMember("content") ? root["content"]
                                                                            : Json::Value();
  if (!content.isArray() && !content.isNull()) return std::nullopt;
  std::map<std::string, Row> entries;  // by product code, byte order
  const auto member = [](const Json::Value& item, const char* name) -> std::optional<std::string> {
    if (!item.isObject() || !item.isMember(name)) return std::string();
    const Json::Value& value = item[name];
    if (value.isArray() || value.isObject()) return std::nullopt;
    return value.asString();
  };
  for (Json::ArrayIndex i = 0; content.isArray() && i < content.size(); ++i) {
    const Json::Value& item = content[i];
    if (!item.isObject() && !item.isNull()) return std::nullopt;
    const auto name = member(item, "name");
    if (!name) return std::nullopt;
    if (name->empty()) break;
    const auto code = member(item, "productcode");
    const auto version = member(item, "version");
    if (!code || !version) return std::nullopt;
    entries.try_emplace(*code, Row{*name, *version, *code, "", ""});
  }
  std::vector<Row> rows;
  for (auto& [code, row] : entries) rows.push_back(std::move(row));
  return rows;
}

class NoProducts final : public orvask::ProductInventory {
 public:
  std::uint32_t productAt(std::uint32_t, orvask::InstalledProduct&) override {
    return orvask::kInventoryNoMoreItems;
  }
};
class FixedDrive final : public orvask::DriveProbe {
 public:
  unsigned protectedDriveType() override { return orvask::kDriveFixed; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const bool encodeHere = (input.byte() & 1) != 0;
  const std::string text = input.rest();
  const std::string word = encodeHere ? orvask::EncodeBase64(text) : text.substr(0, text.find('\0'));

  FUZZ_CHECK(sqlite3_exec(database(), "DELETE FROM TBBlackList", nullptr, nullptr, nullptr) ==
             SQLITE_OK);
  NoProducts inventory;
  FixedDrive drive;
  static orvask::CLog log("/dev/null");
  std::ostringstream out;
  orvask::OrvaskContext context{inventory, drive, log, out, {kDatabase, std::chrono::milliseconds(0)}};
  const int status = orvask::runOrvask(orvask::StartupStatus::Ready, {"UpdateBlackList", word}, context);
  const std::vector<Row> stored = storedRows();
  if (!word.empty() && word[0] == '-') {
    // An option, not input: "-debug" leaves no command word (nothing happens), any other
    // rejects the whole command line.
    std::string option = word.substr(1);
    for (char& c : option) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(status == (option == "debug" ? 0 : -1), "status %d for option %s", status,
               word.c_str());
    FUZZ_CHECK(out.str().empty() && stored.empty());
    return 0;
  }
  FUZZ_CHECK(status == 0, "status %d", status);

  const auto expected = expectedRows(word);
  if (!expected) {
    FUZZ_CHECK(out.str() == "error\n", "printed %s", out.str().c_str());
    FUZZ_CHECK(stored.empty(), "%zu rows stored from input that cannot be read", stored.size());
    return 0;
  }
  FUZZ_CHECK(out.str() == orvask::resultDocument(orvask::kBlackListUpdated, {}, {}) + "\n",
             "printed %s", out.str().c_str());
  FUZZ_CHECK(stored == *expected, "%zu rows stored, %zu expected", stored.size(), expected->size());
  return 0;
}
