// Orvask's UpdateBlackList input (Base64, the JSON reader, the entry rules) through the
// program's entry against an in-memory database: any bytes as the Base64 word, or any
// bytes as the JSON text the harness encodes.
// Checks: the run ends with status 0 and prints either "error" having stored nothing, or
// the 61465 document having stored one row per product code, each with a name and with
// neither path nor date.
#include <sqlite3.h>

#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "orvask/app.h"
#include "orvask/checker.h"
#include "common/testing/base64.h"
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
  const std::string word = encodeHere ? tarvo::testing::base64(text) : text.substr(0, text.find('\0'));

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

  if (out.str() == "error\n") {
    FUZZ_CHECK(stored.empty(), "%zu rows stored from input that cannot be read", stored.size());
    return 0;
  }
  FUZZ_CHECK(out.str() == orvask::resultDocument(orvask::kBlackListUpdated, {}, {}) + "\n",
             "printed %s", out.str().c_str());
  std::set<std::string> codes;
  for (const Row& row : stored) {
    FUZZ_CHECK(!row[0].empty() && row[3].empty() && row[4].empty());
    FUZZ_CHECK(codes.insert(row[2]).second, "product code %s stored twice", row[2].c_str());
  }
  return 0;
}
