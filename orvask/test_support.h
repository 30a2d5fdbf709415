#pragma once
// Shared helpers of the unit tests: the kit's temporary directory, a real SQLite file with the
// deployed schema, and product records. The fakes are fake_inventory.h and fake_drive.h.
#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/temp_dir.h"
#include "orvask/database.h"
#include "orvask/inventory.h"

namespace orvask::testing {

// A fresh directory, removed with everything in it at the end of the test.
using tarvo::testing::TempDir;

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
