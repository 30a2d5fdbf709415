// Benchmark of the checker with a synthetic inventory: first verification (empty white
// list), second verification (full white list) and a black-list update, each through
// the same entry as the program. Prints one "name seconds" line per measurement.
// Usage: orvask_bench COUNT DIRECTORY
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "orvask/app.h"
#include "orvask/checker.h"
#include "common/testing/base64.h"
#include "orvask/schema_sql.h"

namespace {

class SyntheticInventory final : public orvask::ProductInventory {
 public:
  explicit SyntheticInventory(std::uint32_t count) : count_(count) {}
  std::uint32_t productAt(std::uint32_t index, orvask::InstalledProduct& product) override {
    if (index >= count_) return orvask::kInventoryNoMoreItems;
    char code[48];
    std::snprintf(code, sizeof code, "{%08X-0000-4000-8000-%012u}", index * 2654435761u, index);
    product = {code, "Synthetic Product " + std::to_string(index), "1.2." + std::to_string(index), "20240131",
               "C:\\Program Files\\Synthetic\\" + std::to_string(index)};
    return orvask::kInventorySuccess;
  }

 private:
  std::uint32_t count_;
};

class FixedDrive final : public orvask::DriveProbe {
 public:
  unsigned protectedDriveType() override { return orvask::kDriveFixed; }
};

bool exec(const std::string& db, const char* sql) {
  sqlite3* conn = nullptr;
  bool ok = sqlite3_open(db.c_str(), &conn) == SQLITE_OK &&
            sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(conn);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: orvask_bench COUNT DIRECTORY\n";
    return 2;
  }
  const auto count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const std::filesystem::path dir = argv[2];
  const std::string db = (dir / "Orvask.db").string();
  std::filesystem::remove(db);
  if (!exec(db, orvask::kSchemaSql) ||
      !exec(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('not installed', '{NOT-INSTALLED}');")) {
    std::cerr << "cannot create " << db << "\n";
    return 1;
  }
  SyntheticInventory inventory(count);
  FixedDrive drive;
  orvask::CLog log((dir / "OrvaskApp.log").string());
  std::ostringstream out;
  orvask::OrvaskContext context{inventory, drive, log, out, orvask::DatabaseSettings{db, std::chrono::milliseconds(30000)}};

  std::ostringstream json;
  json << "{\"content\":[";
  for (std::uint32_t i = 0; i < count; ++i)
    json << (i ? "," : "") << "{\"name\":\"Blocked " << i << "\",\"productcode\":\"{BLOCKED-" << i
         << "}\",\"version\":\"" << i << "\"}";
  json << "]}";
  const std::string input = tarvo::testing::base64(json.str());

  auto timed = [&](const char* name, std::vector<std::string> args, const char* expect) {
    out.str("");
    const auto start = std::chrono::steady_clock::now();
    const int status = orvask::runOrvask(orvask::StartupStatus::Ready, args, context);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const bool ok = status == 0 && out.str().find(expect) != std::string::npos;
    std::printf("%s %.3f%s\n", name, took.count(), ok ? "" : " UNEXPECTED RESULT");
    return ok;
  };
  bool ok = timed("first_verification", {"VerifyMachine"}, "\"id\" : 61474");
  ok = timed("second_verification", {"VerifyMachine"}, "\"id\" : 0") && ok;
  ok = timed("blacklist_update", {"UpdateBlackList", input}, "\"id\" : 61465") && ok;
  log.close();
  return ok ? 0 : 1;
}
