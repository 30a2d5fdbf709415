#include "orvask/database.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <thread>

#include "orvask/file_guard.h"
#include "orvask/framework.h"

namespace orvask {

void closeConnection(sqlite3* db) noexcept { sqlite3_close_v2(db); }

void finalizeStatement(sqlite3_stmt* stmt) noexcept { sqlite3_finalize(stmt); }

namespace {

// Busy handler: wait 100 ms (less when the deadline is nearer) and retry, until the run's
// deadline has passed. The first wait of the run fixes the deadline, never later than the
// run's work deadline: no wait outlives the run's bound.
int waitWhileBusy(void* settings, int) {
  const auto& wait = *static_cast<const DatabaseSettings*>(settings);
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point>& deadline = wait.busyDeadline->at;
  if (!deadline) deadline = std::min<std::chrono::steady_clock::time_point>(now + wait.busyWait, wait.workDeadline);
  if (now >= *deadline) return 0;
  std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100),
                                                                             *deadline - now));
  return 1;
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Progress handler: a statement still working at the deadline is interrupted.
int stopAtDeadline(void* deadline) {
  return std::chrono::steady_clock::now() >= *static_cast<const std::chrono::steady_clock::time_point*>(deadline);
}

// The values outlive the step that uses them, so SQLite need not copy them.
bool bindText(sqlite3_stmt* stmt, int index, const std::string& value) {
  return sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC) == SQLITE_OK;
}

std::string columnText(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return {};  // NULL reads as the empty text
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

std::string errorText(sqlite3* db) {
  const char* text = db != nullptr ? sqlite3_errmsg(db) : nullptr;
  return text != nullptr ? text : "out of memory";
}

struct ExpectedTable {
  const char* name;
  std::array<const char*, 6> columns;  // nullptr ends the list
};
constexpr std::array<ExpectedTable, 2> kExpectedTables{{
    {"TBBlackList", {"Name", "Version", "ProductCode", "Path", "Date", nullptr}},
    {"TBWhiteList", {"IDWhiteList", "Name", "Version", "ProductCode", "Path", "Date"}},
}};

// Each of the two names that is present must be a table (a view could run any query,
// even one without end) with the columns the statements use. Throws FrameworkError for
// a database not as expected; answers SQLite's code with the error when the schema
// cannot be read (SQLITE_OK when it was and holds).
int checkTables(sqlite3* db, const std::string& path, std::string& error) {
  const auto failed = [&](int rc) {
    error = errorText(db);
    return rc == SQLITE_OK ? SQLITE_ERROR : rc;
  };
  for (const ExpectedTable& expected : kExpectedTables) {
    SqliteStatement query;
    int rc = sqlite3_prepare_v2(
        db, "SELECT type FROM sqlite_master WHERE name = ?1 COLLATE NOCASE AND type IN ('table', 'view')", -1,
        query.out(), nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    (void)sqlite3_bind_text(query.get(), 1, expected.name, -1, SQLITE_STATIC);
    rc = sqlite3_step(query.get());
    if (rc == SQLITE_DONE) continue;  // absent: the statements fail as for any missing table
    if (rc != SQLITE_ROW) return failed(rc);
    const auto* type = sqlite3_column_text(query.get(), 0);
    if (type == nullptr || std::string_view(reinterpret_cast<const char*>(type)) != "table")
      throw FrameworkError(path + ": " + expected.name + " nao e uma tabela.");
    SqliteStatement columns;
    rc = sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1)", -1, columns.out(), nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    (void)sqlite3_bind_text(columns.get(), 1, expected.name, -1, SQLITE_STATIC);
    std::array<bool, 6> present{};
    int step = 0;
    while ((step = sqlite3_step(columns.get())) == SQLITE_ROW) {
      const auto* name = sqlite3_column_text(columns.get(), 0);
      if (name == nullptr) continue;
      for (std::size_t i = 0; i < expected.columns.size() && expected.columns[i] != nullptr; ++i)
        if (compareNoCase(reinterpret_cast<const char*>(name), expected.columns[i]) == 0) present[i] = true;
    }
    if (step != SQLITE_DONE) return failed(step);
    for (std::size_t i = 0; i < expected.columns.size() && expected.columns[i] != nullptr; ++i)
      if (!present[i])
        throw FrameworkError(path + ": " + expected.name + " nao tem a coluna " + expected.columns[i] + ".");
  }
  return SQLITE_OK;
}

// Opens the database with the bounded busy wait and the work deadline; `settings` must
// outlive the connection.
int openDatabase(const DatabaseSettings& settings, SqliteConnection& connection, std::string& error) {
  // A FIFO would make SQLite's open wait for a writer; a link would let the database
  // (or a file created for it) lie anywhere.
  if (const std::string problem = checkDatabaseFiles(settings.path); !problem.empty()) throw FrameworkError(problem);
  sqlite3* db = nullptr;
  // One thread uses a connection, so SQLite need not lock it on every call.
  const int flags = (settings.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  const int rc = sqlite3_open_v2(settings.path.c_str(), &db, flags, nullptr);
  connection = SqliteConnection(db);  // owns the handle even when opening failed
  if (rc != SQLITE_OK) {
    error = errorText(db);
    return kDbOpenFailed;
  }
  sqlite3_busy_handler(db, waitWhileBusy, const_cast<DatabaseSettings*>(&settings));
  sqlite3_progress_handler(db, 1000, stopAtDeadline,
                           const_cast<std::chrono::steady_clock::time_point*>(&settings.workDeadline));
  return kDbDone;
}

// Prepares a select into `select`: 0, or 61444 when still busy after the bounded wait
// (the schema could not be read) and 61443 for any other failure.
int prepareSelect(sqlite3* db, const std::string& statement, SqliteStatement& select, std::string& error) {
  const int prepared = sqlite3_prepare_v2(db, statement.c_str(), -1, select.out(), nullptr);
  if (prepared != SQLITE_OK || !select) {
    error = errorText(db);
    return (prepared & 0xFF) == SQLITE_BUSY ? kDbReadFailed : kDbPrepareFailed;
  }
  return kDbDone;
}

int loadRows(sqlite3* db, const std::string& statement, SoftwareMap& map, std::string& error) {
  SqliteStatement select;
  if (const int code = prepareSelect(db, statement, select, error); code != kDbDone) return code;
  sqlite3_stmt* const raw = select.get();
  const int columns = sqlite3_column_count(raw);
  for (;;) {
    // The busy handler has already waited its bounded time when a step answers BUSY.
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) return kDbDone;
    if (rc != SQLITE_ROW) {
      error = errorText(db);
      return kDbReadFailed;
    }
    SoftwareRecord record;
    for (int c = 0; c < columns; ++c) {
      const char* name = sqlite3_column_name(raw, c);
      if (name == nullptr) throw FrameworkError("sqlite3_column_name: out of memory");
      const std::string_view column(name);
      if (column == "Name") record.Name = columnText(raw, c);
      else if (column == "ProductCode") record.ProductCode = columnText(raw, c);
      else if (column == "Version") record.Version = columnText(raw, c);
      else if (column == "Path") record.Path = columnText(raw, c);
      else if (column == "Date") record.Date = columnText(raw, c);
    }
    addSoftware(map, std::move(record));
  }
}

int visitProductCodes(sqlite3* db, const std::string& statement, const std::function<void(std::string_view)>& visit,
                      std::string& error) {
  SqliteStatement select;
  if (const int code = prepareSelect(db, statement, select, error); code != kDbDone) return code;
  sqlite3_stmt* const raw = select.get();
  int column = -1;
  for (int c = 0; c < sqlite3_column_count(raw); ++c) {
    const char* name = sqlite3_column_name(raw, c);
    if (name == nullptr) throw FrameworkError("sqlite3_column_name: out of memory");
    if (std::string_view(name) == "ProductCode") column = c;  // the last of that name, as loadRows
  }
  for (;;) {
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) return kDbDone;
    if (rc != SQLITE_ROW) {
      error = errorText(db);
      return kDbReadFailed;
    }
    const auto* text = column >= 0 ? sqlite3_column_text(raw, column) : nullptr;
    visit(text == nullptr ? std::string_view{}
                          : std::string_view(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(sqlite3_column_bytes(raw, column))));
  }
}

enum class Batch { Insert, Delete };

// Runs the statement once per entry in key order. An insert stops at the first failing
// entry (61442) and keeps the ones before it; a delete skips a failing entry.
int runRows(sqlite3* db, const std::string& statement, const SoftwareMap& map, Batch kind, std::string& error) {
  try {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, statement.c_str(), -1, &raw, nullptr) != SQLITE_OK || raw == nullptr) {
      error = errorText(db);
      sqlite3_finalize(raw);
      return kind == Batch::Insert ? kDbBatchFailed : kDbDone;
    }
    SqliteStatement prepared(raw);
    for (const auto& [key, record] : map) {
      sqlite3_reset(raw);  // every parameter is bound again below
      bool ok = kind == Batch::Insert
                    ? bindText(raw, 1, record.Name) && bindText(raw, 2, record.Version) && bindText(raw, 3, key) &&
                          bindText(raw, 4, record.Path) && bindText(raw, 5, record.Date)
                    : bindText(raw, 1, key);
      ok = ok && sqlite3_step(raw) == SQLITE_DONE;
      if (!ok) {
        error = errorText(db);
        if (kind == Batch::Insert) return kDbBatchFailed;  // entries before this one stay inserted
      }
    }
  } catch (const FrameworkError& failure) {
    failure.report();
    error = failure.errorMessage();
    return kDbBatchFailed;
  }
  return kDbDone;
}

}  // namespace

CDBTransaction::~CDBTransaction() {
  if (open_) exec(connection_.get(), "ROLLBACK");
}

int CDBTransaction::fail(int code) {
  lastError_ = errorText(connection_.get());
  return code;
}

int CDBTransaction::begin() {
  if (const int rc = openDatabase(settings_, connection_, lastError_); rc != kDbDone) return rc;
  // IMMEDIATE takes the write lock up front, so two writers wait for each other instead
  // of deadlocking on a lock upgrade.
  if (!exec(connection_.get(), "BEGIN IMMEDIATE")) return fail(kDbBatchFailed);
  open_ = true;
  // Under the write lock: the schema checked is the one the statements will use.
  if (checkTables(connection_.get(), settings_.path, lastError_) != SQLITE_OK) return kDbBatchFailed;
  return kDbDone;
}

int CDBTransaction::LoadList(const std::string& statement, SoftwareMap& map) {
  return loadRows(connection_.get(), statement, map, lastError_);
}

int CDBTransaction::ForEachProductCode(const std::string& statement,
                                       const std::function<void(std::string_view)>& visit) {
  return visitProductCodes(connection_.get(), statement, visit, lastError_);
}

int CDBTransaction::InsertList(const std::string& statement, const SoftwareMap& map) {
  return runRows(connection_.get(), statement, map, Batch::Insert, lastError_);
}

int CDBTransaction::DeleteList(const std::string& statement, const SoftwareMap& map) {
  return runRows(connection_.get(), statement, map, Batch::Delete, lastError_);
}

int CDBTransaction::commit() {
  if (!open_) return kDbBatchFailed;
  open_ = false;
  if (!exec(connection_.get(), "COMMIT")) {
    // If even the commit fails (still busy, disk full), nothing of the batch remains.
    lastError_ = errorText(connection_.get());
    exec(connection_.get(), "ROLLBACK");
    return kDbBatchFailed;
  }
  return kDbDone;
}

namespace {

// The table check of a read on a connection of its own: 0, or the code of a select that
// could not be prepared (61444 when still busy after the bounded wait).
int checkBeforeRead(sqlite3* db, const std::string& path, std::string& error) {
  const int rc = checkTables(db, path, error);
  if (rc == SQLITE_OK) return kDbDone;
  return (rc & 0xFF) == SQLITE_BUSY ? kDbReadFailed : kDbPrepareFailed;
}

}  // namespace

int CDBOrvask::ForEachProductCode(const std::string& statement, const std::function<void(std::string_view)>& visit) {
  SqliteConnection connection;
  if (openDatabase(settings_, connection, lastError_) != kDbDone) return kDbOpenFailed;
  if (const int rc = checkBeforeRead(connection.get(), settings_.path, lastError_); rc != kDbDone) return rc;
  return visitProductCodes(connection.get(), statement, visit, lastError_);
}

int CDBOrvask::LoadList(const std::string& statement, SoftwareMap& map) {
  SqliteConnection connection;
  if (openDatabase(settings_, connection, lastError_) != kDbDone) return kDbOpenFailed;
  if (const int rc = checkBeforeRead(connection.get(), settings_.path, lastError_); rc != kDbDone) return rc;
  return loadRows(connection.get(), statement, map, lastError_);
}

// One transaction per batch: one disk sync instead of one per row, and a crash leaves the
// database as before or after the batch.
int CDBOrvask::InsertList(const std::string& statement, const SoftwareMap& map) {
  if (map.empty()) {
    SqliteConnection connection;  // opening alone creates a missing file, as every access does
    return openDatabase(settings_, connection, lastError_);
  }
  CDBTransaction batch(settings_);
  int rc = batch.begin();
  if (rc == kDbDone) rc = batch.InsertList(statement, map);
  // Entries before a failing one are kept, so the batch is committed either way.
  const int committed = rc == kDbOpenFailed ? rc : batch.commit();
  lastError_ = batch.lastError();
  return rc != kDbDone ? rc : committed;
}

int CDBOrvask::DeleteList(const std::string& statement, const SoftwareMap& map) {
  if (map.empty()) {
    SqliteConnection connection;
    return openDatabase(settings_, connection, lastError_);
  }
  CDBTransaction batch(settings_);
  const int rc = batch.begin();
  if (rc == kDbDone) (void)batch.DeleteList(statement, map);
  if (rc == kDbDone) (void)batch.commit();
  lastError_ = batch.lastError();
  return rc == kDbOpenFailed ? kDbOpenFailed : kDbDone;
}

}  // namespace orvask
