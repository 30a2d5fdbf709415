#pragma once
// Shared fixtures of the unit tests: a temporary directory with a real SQLite file,
// a recording fake inventory and a fixed drive.
#include <filesystem>
#include <string>
#include <vector>

#include "orvask/database.h"
#include "orvask/drive.h"
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

// Serves a fixed product list, records every index it is asked for, and can fail
// with a chosen status at a chosen index.
class FakeInventory final : public ProductInventory {
 public:
  std::vector<InstalledProduct> products;
  std::vector<std::uint32_t> askedIndexes;
  std::uint32_t failAt = UINT32_MAX;
  std::uint32_t failStatus = 1603;
  bool throwAtFail = false;

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override;
};

class FakeDrive final : public DriveProbe {
 public:
  unsigned type = kDriveFixed;
  int queries = 0;
  unsigned protectedDriveType() override {
    ++queries;
    return type;
  }
};

inline InstalledProduct product(std::string code, std::string name = "") {
  if (name.empty()) name = "Product " + code;
  return InstalledProduct{code, name, "1.0", "20240131", "C:\\Apps\\" + code};
}

}  // namespace orvask::testing
