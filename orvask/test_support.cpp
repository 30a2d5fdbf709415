#include "orvask/test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "orvask/schema_sql.h"

namespace orvask::testing {

void execSql(const std::string& dbPath, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message << " in " << sql;
}

void createSchema(const std::string& dbPath) { execSql(dbPath, kSchemaSql); }

std::vector<std::string> queryRows(const std::string& dbPath, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
  while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      if (c > 0) row += '|';
      const auto* text = sqlite3_column_text(stmt, c);
      row += text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

}  // namespace orvask::testing
