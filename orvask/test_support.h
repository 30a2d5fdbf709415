#pragma once
// Shared helpers of the unit tests: a temporary directory, a real SQLite file with the
// deployed schema, and product records. The fakes are fake_inventory.h and fake_drive.h.
#include <filesystem>
#include <string>
#include <vector>

#include "orvask/database.h"
#include "orvask/inventory.h"

namespace orvask::testing {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;  // one owner removes the directory
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Creates the two tables the way a deployment provides them.
void createSchema(const std::string& dbPath);
// Runs SQL on the file (fails the test on error).
void execSql(const std::string& dbPath, const std::string& sql);
// Rows of a query, columns joined by "|", NULL as "<null>".
std::vector<std::string> queryRows(const std::string& dbPath, const std::string& sql);

// A product with the given code, and a name, version, date and location made from it.
inline InstalledProduct product(std::string code, std::string name = "") {
  if (name.empty()) name = "Product " + code;
  return InstalledProduct{code, name, "1.0", "20240131", "C:\\Apps\\" + code};
}

}  // namespace orvask::testing
