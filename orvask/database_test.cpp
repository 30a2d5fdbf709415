#include "orvask/database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include <sqlite3.h>

#include "orvask/framework.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

using testing::queryRows;

SoftwareRecord record(std::string code, std::string name, std::string date = "20240101") {
  return SoftwareRecord{std::move(name), "1.0", std::move(code), "C:\\p", std::move(date)};
}

SoftwareMap mapOf(std::initializer_list<SoftwareRecord> records) {
  SoftwareMap map;
  for (const auto& r : records) addSoftware(map, r);
  return map;
}

class Database : public ::testing::Test {
 protected:
  void SetUp() override { testing::createSchema(db); }
  testing::TempDir dir;
  std::string db = dir.file("Orvask.db");
  CDBOrvask access{DatabaseSettings{db, std::chrono::milliseconds(300)}};
};

// Values are bound, so quotes and SQL text are stored and read back unchanged.
TEST_F(Database, InsertAndLoadKeepValuesIntact) {
  const SoftwareMap entries = mapOf({record("{A}", "O'Brien Tools"), record("{B}", "x'); DROP TABLE TBBlackList;--"),
                                     record("{C}", "Caf\xc3\xa9 \"quoted\"")});
  ASSERT_EQ(access.InsertList(kInsertBlackList, entries), kDbDone);
  SoftwareMap loaded;
  ASSERT_EQ(access.LoadList(kSelectBlackList, loaded), kDbDone);
  EXPECT_EQ(loaded, entries);
  EXPECT_EQ(queryRows(db, "SELECT Name FROM TBBlackList WHERE Name = 'O''Brien Tools'").size(), 1u);
}

TEST_F(Database, WhiteListSelectMapsColumns) {
  testing::execSql(db,
                   "INSERT INTO TBWhiteList (Name, Version, ProductCode, Path, Date) VALUES "
                   "('first', '1', 'K', 'p1', NULL), ('second', '2', 'K', 'p2', 'd2'), ('other', NULL, 'k', NULL, '3');");
  SoftwareMap loaded;
  ASSERT_EQ(access.LoadList(kSelectWhiteList, loaded), kDbDone);
  // NULL reads as empty; of two rows with one code the first one read stays; case counts.
  EXPECT_EQ(loaded, mapOf({SoftwareRecord{"first", "1", "K", "p1", ""}, SoftwareRecord{"other", "", "k", "", "3"}}));
}

// Loading adds to the caller's map; existing keys win.
TEST_F(Database, LoadAddsToMap) {
  testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('from db', 'A'), ('new', 'B');");
  SoftwareMap map = mapOf({record("A", "already here")});
  ASSERT_EQ(access.LoadList(kSelectBlackList, map), kDbDone);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map["A"].Name, "already here");
  EXPECT_EQ(map["B"].Name, "new");
}

TEST_F(Database, FailureCodes) {
  SoftwareMap map;
  EXPECT_EQ(access.LoadList("SELECT * FROM NoSuchTable", map), kDbPrepareFailed);
  EXPECT_EQ(access.InsertList("INSERT INTO NoSuchTable VALUES (?1,?2,?3,?4,?5)", mapOf({record("A", "a")})),
            kDbBatchFailed);
  EXPECT_EQ(access.DeleteList("DELETE FROM NoSuchTable WHERE x = ?1", mapOf({record("A", "a")})), kDbDone);
  CDBOrvask nowhere(DatabaseSettings{dir.file("no/such/dir/Orvask.db"), std::chrono::milliseconds(100)});
  EXPECT_EQ(nowhere.LoadList(kSelectBlackList, map), kDbOpenFailed);
  EXPECT_EQ(nowhere.InsertList(kInsertBlackList, mapOf({record("A", "a")})), kDbOpenFailed);
  EXPECT_EQ(nowhere.DeleteList(kDeleteWhiteList, mapOf({record("A", "a")})), kDbOpenFailed);
  EXPECT_TRUE(map.empty());
}

// A missing file is created empty by the first access; the select then fails to prepare.
TEST(DatabaseFile, MissingFileIsCreatedEmpty) {
  testing::TempDir dir;
  const std::string db = dir.file("Orvask.db");
  SoftwareMap map;
  EXPECT_EQ(CDBOrvask(DatabaseSettings{db, std::chrono::milliseconds(100)}).LoadList(kSelectBlackList, map), kDbPrepareFailed);
  EXPECT_TRUE(std::filesystem::exists(db));
  EXPECT_TRUE(queryRows(db, "SELECT name FROM sqlite_master").empty());
}

// The first failing entry stops the batch; entries before it stay, later ones are not tried.
TEST_F(Database, InsertStopsAtFirstFailure) {
  testing::execSql(db,
                   "CREATE TRIGGER refuse BEFORE INSERT ON TBBlackList WHEN NEW.ProductCode = 'B' "
                   "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  EXPECT_EQ(access.InsertList(kInsertBlackList, mapOf({record("A", "a"), record("B", "b"), record("C", "c")})),
            kDbBatchFailed);
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBBlackList"), std::vector<std::string>{"A"});
}

// A delete batch removes every row of the given codes and nothing else; a failing
// entry does not stop the others.
TEST_F(Database, DeleteRemovesExactlyTheCodes) {
  testing::execSql(db,
                   "INSERT INTO TBWhiteList (Name, ProductCode) VALUES ('a','A'),('a2','A'),('b','B'),('c','C'),('c','c');"
                   "CREATE TRIGGER keep BEFORE DELETE ON TBWhiteList WHEN OLD.ProductCode = 'B' "
                   "BEGIN SELECT RAISE(ABORT, 'kept'); END;");
  EXPECT_EQ(access.DeleteList(kDeleteWhiteList, mapOf({record("A", "a"), record("B", "b"), record("C", "c")})),
            kDbDone);
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode"),
            (std::vector<std::string>{"B", "c"}));
}

// The file change counter in the database header: one step per committed write transaction.
std::uint32_t changeCounter(const std::string& db) {
  std::ifstream file(db, std::ios::binary);
  unsigned char header[28] = {};
  file.read(reinterpret_cast<char*>(header), sizeof header);
  return (std::uint32_t{header[24]} << 24) | (std::uint32_t{header[25]} << 16) | (std::uint32_t{header[26]} << 8) |
         header[27];
}

// A batch is one transaction: one commit (and one disk sync) for all its rows.
TEST_F(Database, BatchIsOneTransaction) {
  SoftwareMap many;
  for (int i = 0; i < 50; ++i) addSoftware(many, record("{" + std::to_string(i) + "}", "n"));
  const std::uint32_t before = changeCounter(db);
  ASSERT_EQ(access.InsertList(kInsertWhiteList, many), kDbDone);
  EXPECT_EQ(changeCounter(db), before + 1);
  EXPECT_EQ(access.DeleteList(kDeleteWhiteList, many), kDbDone);
  EXPECT_EQ(changeCounter(db), before + 2);
  EXPECT_TRUE(queryRows(db, "SELECT * FROM TBWhiteList").empty());
}

// Holds a write lock on the file for `holdFor`, from its own connection.
void holdLock(const std::string& db, std::chrono::milliseconds holdFor, std::atomic<bool>& locked) {
  sqlite3* conn = nullptr;
  sqlite3_open(db.c_str(), &conn);
  sqlite3_exec(conn, "BEGIN EXCLUSIVE; INSERT INTO TBBlackList (Name, ProductCode) VALUES ('late', 'L');", nullptr,
               nullptr, nullptr);
  locked = true;
  std::this_thread::sleep_for(holdFor);
  sqlite3_exec(conn, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(conn);
}

// The lock of holdLock, held by a thread of its own; constructed once the lock is held.
class LockHolder {
 public:
  LockHolder(const std::string& db, std::chrono::milliseconds holdFor)
      : thread_(holdLock, db, holdFor, std::ref(locked_)) {
    while (!locked_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  ~LockHolder() {
    if (thread_.joinable()) thread_.join();
  }
  void join() { thread_.join(); }

 private:
  std::atomic<bool> locked_{false};
  std::thread thread_;
};

// A database that stays busy makes every operation give up after its bounded wait.
TEST_F(Database, BusyBeyondBoundGivesUp) {
  LockHolder holder(db, std::chrono::milliseconds(2000));
  SoftwareMap map;
  const int load = access.LoadList(kSelectBlackList, map);  // 3 waits of 100 ms
  const int insert = access.InsertList(kInsertBlackList, mapOf({record("A", "a")}));
  holder.join();
  EXPECT_EQ(load, kDbReadFailed);
  EXPECT_EQ(insert, kDbBatchFailed);
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBBlackList"), std::vector<std::string>{"L"});
}

// A database that becomes free within the bound is waited for, by reads and writes.
TEST_F(Database, BusyWithinBoundWaits) {
  CDBOrvask patient(DatabaseSettings{db, std::chrono::milliseconds(10000)});
  LockHolder holder(db, std::chrono::milliseconds(300));
  SoftwareMap map;
  EXPECT_EQ(patient.LoadList(kSelectBlackList, map), kDbDone);
  EXPECT_EQ(patient.InsertList(kInsertBlackList, mapOf({record("A", "a")})), kDbDone);
  holder.join();
  EXPECT_TRUE(map.contains("L"));
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBBlackList ORDER BY ProductCode"),
            (std::vector<std::string>{"A", "L"}));
}

// All the waits of a run end at one deadline on the steady clock, whichever connection or
// statement meets the lock: once it has passed, a later read or write (through copies of
// the run's settings) gives up at once instead of waiting its own full time again.
TEST_F(Database, OneDeadlineForEveryWait) {
  using std::chrono::milliseconds;
  const DatabaseSettings settings{db, milliseconds(600)};
  LockHolder holder(db, milliseconds(2500));
  const auto start = std::chrono::steady_clock::now();
  SoftwareMap map;
  const int load = CDBOrvask(settings).LoadList(kSelectBlackList, map);
  const auto firstWait = std::chrono::steady_clock::now() - start;
  const int insert = CDBOrvask(settings).InsertList(kInsertBlackList, mapOf({record("A", "a")}));
  CDBTransaction transaction(settings);
  const int begin = transaction.begin();
  const auto laterWaits = std::chrono::steady_clock::now() - start - firstWait;
  holder.join();
  EXPECT_EQ(load, kDbReadFailed);
  EXPECT_EQ(insert, kDbBatchFailed);
  EXPECT_EQ(begin, kDbBatchFailed);
  EXPECT_GE(firstWait, milliseconds(600));
  EXPECT_LT(firstWait, milliseconds(1500));
  EXPECT_LT(laterWaits, milliseconds(300));
}

// A wait for a busy database ends at the run's work deadline when that comes before the
// busy wait's own end: a run that has already worked long waits only for what is left.
TEST_F(Database, BusyWaitEndsAtWorkDeadline) {
  using std::chrono::milliseconds;
  DatabaseSettings settings{db, milliseconds(10000)};
  settings.workDeadline = std::chrono::steady_clock::now() + milliseconds(600);
  LockHolder holder(db, milliseconds(2500));
  const auto start = std::chrono::steady_clock::now();
  SoftwareMap map;
  const int load = CDBOrvask(settings).LoadList(kSelectBlackList, map);
  const auto waited = std::chrono::steady_clock::now() - start;
  holder.join();
  EXPECT_EQ(load, kDbReadFailed);
  EXPECT_LT(waited, milliseconds(1500));
  EXPECT_TRUE(map.empty());
}

// A view in the place of a table (which could run any query, one without end too) or a
// table without a column the statements use is a database not as expected: every
// access ends with a failure that names the table, before any statement runs. A
// table that is absent stays an ordinary failure.
TEST(DatabaseShape, ViewsAndMissingColumnsAreRefused) {
  const struct {
    const char* what;
    const char* sql;
    const char* error;
  } cases[] = {
      {"self-referring view for the black list",
       "DROP TABLE TBBlackList; CREATE VIEW TBBlackList AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
       "FROM n) SELECT i AS Name, i AS Version, i AS ProductCode, i AS Path, i AS Date FROM n;",
       "TBBlackList nao e uma tabela."},
      {"view for the white list, other letter case",
       "DROP TABLE TBWhiteList; CREATE VIEW tbwhitelist AS SELECT 1 AS IDWhiteList, 'n' AS Name, 'v' AS Version, "
       "'c' AS ProductCode, 'p' AS Path, 'd' AS Date;",
       "TBWhiteList nao e uma tabela."},
      {"black list without Version",
       "DROP TABLE TBBlackList; CREATE TABLE TBBlackList (Name, ProductCode, Path, Date);",
       "TBBlackList nao tem a coluna Version."},
      {"white list without IDWhiteList",
       "DROP TABLE TBWhiteList; CREATE TABLE TBWhiteList (Name, Version, ProductCode, Path, Date);",
       "TBWhiteList nao tem a coluna IDWhiteList."},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string db = dir.file("Orvask.db");
    testing::createSchema(db);
    testing::execSql(db, c.sql);
    CDBOrvask access(DatabaseSettings{db, std::chrono::milliseconds(100)});
    SoftwareMap map;
    const std::function<int()> operations[] = {
        [&] { return access.LoadList(kSelectBlackList, map); },
        [&] { return access.ForEachProductCode(kSelectWhiteList, [](std::string_view) {}); },
        [&] { return access.InsertList(kInsertBlackList, mapOf({record("A", "a")})); },
        [&] { return access.DeleteList(kDeleteWhiteList, mapOf({record("A", "a")})); },
    };
    for (const auto& operation : operations) {
      try {
        const int code = operation();
        ADD_FAILURE() << c.what << ": answered " << code;
      } catch (const FrameworkError& failure) {
        EXPECT_EQ(failure.errorMessage(), db + ": " + c.error) << c.what;
      }
    }
    EXPECT_TRUE(map.empty()) << c.what;
  }
  // Absent tables are no shape failure: the statements fail as before.
  testing::TempDir dir;
  const std::string db = dir.file("Orvask.db");
  testing::execSql(db, "CREATE TABLE Other (x);");
  SoftwareMap map;
  EXPECT_EQ(CDBOrvask(DatabaseSettings{db, std::chrono::milliseconds(100)}).LoadList(kSelectBlackList, map), kDbPrepareFailed);
}

// No statement works past the deadline: a long query is interrupted there. (Not one
// without end: without the bound this one ends after a few minutes and fails.)
TEST_F(Database, StatementWorkEndsAtDeadline) {
  DatabaseSettings settings{db, std::chrono::milliseconds(100)};
  settings.workDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  CDBOrvask bounded(settings);
  SoftwareMap map;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(bounded.LoadList("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000000000) "
                             "SELECT i AS ProductCode FROM n WHERE i < 0",
                             map),
            kDbReadFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(bounded.lastError(), "interrupted");
  // An ordinary statement before the deadline is not disturbed by it.
  SoftwareMap rows;
  EXPECT_EQ(access.LoadList(kSelectBlackList, rows), kDbDone);
}

TEST(SqliteOwners, MovesNullTheSource) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &raw), SQLITE_OK);
  SqliteConnection first(raw);
  SqliteConnection second(std::move(first));
  EXPECT_EQ(first.get(), nullptr);  // NOLINT(bugprone-use-after-move): moves must null the source
  EXPECT_EQ(second.get(), raw);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT 1", -1, &stmt, nullptr), SQLITE_OK);
  SqliteStatement a(stmt);
  SqliteStatement b;
  b = std::move(a);
  EXPECT_EQ(a.get(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(b.get(), stmt);
}

}  // namespace
}  // namespace orvask
