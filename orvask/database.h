#pragma once
// Access to the software list database "Orvask.db". Every operation opens its own
// connection; values travel as bound statement parameters, never inside the text.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_handle.h"
#include "orvask/software.h"

struct sqlite3;
struct sqlite3_stmt;

namespace orvask {

// Result codes of the database layer.
inline constexpr int kDbDone = 0;
inline constexpr int kDbOpenFailed = 0xF001;     // 61441
inline constexpr int kDbBatchFailed = 0xF002;    // 61442
inline constexpr int kDbPrepareFailed = 0xF003;  // 61443
inline constexpr int kDbReadFailed = 0xF004;     // 61444

// Statements. Inserts bind ?1..?5 = Name, Version, ProductCode, Path, Date; the delete
// binds ?1 = ProductCode.
inline constexpr const char* kSelectWhiteList =
    "SELECT wl.IDWhiteList, wl.Name as 'Name', wl.Version as 'Version', wl.ProductCode as 'ProductCode', "
    "wl.Path as 'Path', wl.Date as 'Date' FROM TBWhiteList as wl";
inline constexpr const char* kInsertWhiteList =
    "INSERT INTO TBWhiteList (Name, Version, ProductCode, Path, Date) VALUES (?1, ?2, ?3, ?4, ?5);";
inline constexpr const char* kDeleteWhiteList = "DELETE FROM TBWhiteList WHERE ProductCode = ?1;";
inline constexpr const char* kSelectBlackList = "SELECT * FROM TBBlackList";
inline constexpr const char* kInsertBlackList =
    "INSERT INTO TBBlackList (Name, Version, ProductCode, Path, Date) VALUES (?1, ?2, ?3, ?4, ?5);";

// The deadline of a run's waits for a busy database, on the steady clock: fixed when the
// first wait begins, and shared by every wait after it, on any connection and statement.
struct BusyDeadline {
  std::optional<std::chrono::steady_clock::time_point> at;
};

struct DatabaseSettings {
  std::string path = "Orvask.db";
  // A busy database is retried every 100 ms; all the waits of a run end this long after
  // the first one began (30 s), reads and writes alike, and at workDeadline at the latest.
  std::chrono::milliseconds busyWait{30000};
  // Tests only: open the file read-only, as SQLite does by itself when the file cannot
  // be written (which file permissions alone cannot show to a test running as root).
  bool readOnly = false;
  // One deadline for the run: copies of these settings share it.
  std::shared_ptr<BusyDeadline> busyDeadline = std::make_shared<BusyDeadline>();
  // No statement works past this point of the steady clock (SQLite's progress handler
  // interrupts it), and no busy wait lasts past it either: 30 s from when the settings
  // were made, which for the program is its start, so the bound holds for the whole run.
  std::chrono::steady_clock::time_point workDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
};

// Before SQLite opens the database: each of the database's files must be a regular
// file (checkDatabaseFiles). After: TBBlackList and TBWhiteList, where present, must be
// tables with the columns the statements use. Either failing throws FrameworkError
// naming the file or table: a database not as expected ends the run.

// sqlite3_close_v2 / sqlite3_finalize, for the owners below (sqlite3.h stays out of
// this header).
void closeConnection(sqlite3* db) noexcept;
void finalizeStatement(sqlite3_stmt* stmt) noexcept;

// Owners of one SQLite connection (sqlite3_open_v2) and one prepared statement
// (sqlite3_prepare_v2).
using SqliteConnection = tarvo::UniqueHandle<sqlite3*, nullptr, closeConnection>;
using SqliteStatement = tarvo::UniqueHandle<sqlite3_stmt*, nullptr, finalizeStatement>;

// A write transaction on a connection of its own: begin() takes the write lock up front
// (BEGIN IMMEDIATE, waiting like every access while another process writes), commit()
// ends it, and a transaction that ends without a commit is rolled back. Reads inside it
// see exactly what its writes will be based on, so of several runs at once only one
// finds a row missing and adds it.
class CDBTransaction {
 public:
  explicit CDBTransaction(const DatabaseSettings& settings) : settings_(settings) {}
  ~CDBTransaction();
  CDBTransaction(const CDBTransaction&) = delete;  // one owner ends the transaction
  CDBTransaction& operator=(const CDBTransaction&) = delete;

  // Opens the connection and begins: 0, 61441 (cannot open) or 61442 (the write lock was
  // not granted: still busy after the bounded wait, or a read-only database).
  [[nodiscard]] int begin();
  // As the CDBOrvask functions of these names, inside the transaction.
  [[nodiscard]] int LoadList(const std::string& statement, SoftwareMap& map);
  [[nodiscard]] int ForEachProductCode(const std::string& statement,
                                       const std::function<void(std::string_view)>& visit);
  // Runs the insert once per entry in key order; stops at the first failing entry (61442).
  [[nodiscard]] int InsertList(const std::string& statement, const SoftwareMap& map);
  // Runs the delete once per entry in key order; a failing entry is skipped (0).
  [[nodiscard]] int DeleteList(const std::string& statement, const SoftwareMap& map);
  // Commits: 0, or 61442 when the commit fails (nothing of the transaction remains).
  [[nodiscard]] int commit();
  // SQLite's text for the last failure, empty when there was none.
  [[nodiscard]] const std::string& lastError() const { return lastError_; }

 private:
  int fail(int code);

  DatabaseSettings settings_;  // read by the busy handler while the connection lives
  SqliteConnection connection_;
  bool open_ = false;
  std::string lastError_;
};

class CDBOrvask {
 public:
  explicit CDBOrvask(DatabaseSettings settings = {}) : settings_(std::move(settings)) {}

  // Runs a select and adds one entry per row to `map` (existing keys win); columns
  // named Name, Version, ProductCode, Path, Date fill the record. Returns a code above;
  // rows read before a failure stay in the map.
  [[nodiscard]] int LoadList(const std::string& statement, SoftwareMap& map);
  // Runs a select and hands each row's ProductCode text to `visit` (the column is found
  // by name once; without one, or for NULL, the text is empty). Returns a code like
  // LoadList; rows handed over before a failure stay handed over.
  [[nodiscard]] int ForEachProductCode(const std::string& statement,
                                       const std::function<void(std::string_view)>& visit);
  // Runs the insert once per entry in key order, all in one transaction. On the first
  // failing entry it stops and keeps the entries before it (61442); a batch that could
  // not begin or commit stores nothing (61442).
  [[nodiscard]] int InsertList(const std::string& statement, const SoftwareMap& map);
  // Runs the delete once per entry in key order in one transaction; a failing entry is
  // skipped. Returns 0, or 61441 when the database cannot be opened.
  [[nodiscard]] int DeleteList(const std::string& statement, const SoftwareMap& map);
  // SQLite's text for the last failure of this object, empty when there was none.
  [[nodiscard]] const std::string& lastError() const { return lastError_; }

 private:
  DatabaseSettings settings_;
  std::string lastError_;
};

}  // namespace orvask
