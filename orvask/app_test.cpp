#include "orvask/app.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <sstream>

#include "orvask/checker.h"
#include "common/testing/base64.h"
#include "orvask/fake_drive.h"
#include "orvask/fake_inventory.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

using tarvo::testing::base64;

using testing::product;
using testing::queryRows;

class ThrowingDrive final : public DriveProbe {
 public:
  unsigned protectedDriveType() override { throw FrameworkError(std::string(300, 'x')); }
};

class App : public ::testing::Test {
 protected:
  int run(std::vector<std::string> args, StartupStatus startup = StartupStatus::Ready) {
    out.str("");
    CLog log(logPath, [] { return std::tm{}; });
    OrvaskContext context{inventory, drive ? *drive : fakeDrive, log, out, DatabaseSettings{db, std::chrono::milliseconds(100), readOnly}};
    const int status = runOrvask(startup, args, context);
    log.close();
    return status;
  }
  // The log lines without their timestamps.
  std::vector<std::string> logLines() {
    std::ifstream file(logPath, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() >= 19 ? line.substr(19) : "short line: " + line);
    }
    return lines;
  }
  std::string document(int code) {
    CChecker checker(inventory, DatabaseSettings{db, std::chrono::milliseconds(100)});
    std::ostringstream text;
    checker.PrintResult(code, text);
    return text.str();
  }

  testing::TempDir dir;
  std::string db = dir.file("Orvask.db");
  std::string logPath = dir.file("OrvaskApp.log");
  testing::FakeInventory inventory;
  testing::FakeDrive fakeDrive;
  DriveProbe* drive = nullptr;
  bool readOnly = false;
  std::ostringstream out;
};

TEST_F(App, StartupFailuresEndTheRun) {
  EXPECT_EQ(run({"Version"}, StartupStatus::NoStandardOutput), -1);
  EXPECT_EQ(logLines(), std::vector<std::string>{"|ERROR|Erro Fatal: GetModuleHandle falhou."});
  EXPECT_EQ(run({"Version"}, StartupStatus::ProcessSetupFailed), -1);
  EXPECT_EQ(logLines(), std::vector<std::string>{"|ERROR|Erro de inicializacao na MFC."});
  EXPECT_EQ(out.str(), "");
}

TEST_F(App, CommandLineGrammar) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;
    std::vector<std::string> log;
  };
  const std::string start = "|DEBUG|Programa Orvask iniciando.";
  const Case cases[] = {
      {{}, -1, "", {"|ERROR|Argumento(s) nao reconhecido(s)."}},
      {{"Version"}, 0, "Version!\n", {start, "|DEBUG|Lista de argumentos: Version|"}},
      {{"vERSION", "extra"}, 0, "Version!\n", {start, "|DEBUG|Lista de argumentos: vERSION|extra|"}},
      {{"-DeBuG", "-debug", "version"}, 0, "Version!\n", {start, "|DEBUG|Lista de argumentos: -DeBuG|-debug|version|"}},
      // an unknown option anywhere rejects the line before the start-up lines
      {{"-x", "Version"}, -1, "", {"|ERROR|Argumento(s) nao reconhecido(s)."}},
      {{"Version", "-"}, -1, "", {"|ERROR|Argumento(s) nao reconhecido(s)."}},
      {{"Version", "-debugx"}, -1, "", {"|ERROR|Argumento(s) nao reconhecido(s)."}},
      // the command word sits after as many places as there are options
      {{"Version", "-debug"}, 0, "",
       {start, "|DEBUG|Lista de argumentos: Version|-debug|", "|ERROR|Argumento(s) nao reconhecido(s).Version"}},
      {{"-debug"}, 0, "", {start, "|DEBUG|Lista de argumentos: -debug|", "|ERROR|Argumento(s) nao reconhecido(s).-debug"}},
      {{"Versions"}, 0, "",
       {start, "|DEBUG|Lista de argumentos: Versions|", "|ERROR|Argumento(s) nao reconhecido(s).Versions"}},
      {{"InitDB"}, 0, "", {start, "|DEBUG|Lista de argumentos: InitDB|"}},
  };
  for (const Case& c : cases) {
    std::string words;
    for (const auto& a : c.args) words += a + " ";
    EXPECT_EQ(run(c.args), c.status) << words;
    EXPECT_EQ(out.str(), c.output) << words;
    EXPECT_EQ(logLines(), c.log) << words;
  }
  // InitDB does no database work.
  EXPECT_FALSE(std::filesystem::exists(db));
}

// Without a database file the verification creates an empty one and finds no black list.
TEST_F(App, MissingDatabaseMeansEmptyBlackList) {
  inventory.products = {product("{A}")};
  EXPECT_EQ(run({"VerifyMachine"}), 0);
  EXPECT_EQ(out.str(), document(kBlackListEmpty));
  EXPECT_TRUE(std::filesystem::exists(db));
  EXPECT_EQ(fakeDrive.queries, 0);
}

// The black list is examined first, then the drive, then the white list.
TEST_F(App, VerdictOrder) {
  testing::createSchema(db);
  inventory.products = {product("{A}"), product("{B}")};
  fakeDrive.type = kDriveRemovable;
  EXPECT_EQ(run({"verifymachine"}), 0);
  EXPECT_EQ(out.str(), document(kBlackListEmpty));

  testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{B}');");
  EXPECT_EQ(run({"-debug", "VerifyMachine"}), 0);
  EXPECT_NE(out.str().find("\"id\" : 61464"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\"uuid\" : \"{B}\""), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("{A}"), std::string::npos) << out.str();
  EXPECT_EQ(fakeDrive.queries, 0);

  testing::execSql(db, "DELETE FROM TBBlackList; INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{Z}');");
  for (unsigned type : std::vector<unsigned>{kDriveUnknown, kDriveNoRootDir, kDriveRemovable, kDriveCdrom, kDriveRamdisk, 7u}) {
    fakeDrive.type = type;
    EXPECT_EQ(run({"VerifyMachine"}), 0);
    EXPECT_EQ(out.str(), document(kDriveFailed)) << type;
  }
  EXPECT_TRUE(queryRows(db, "SELECT * FROM TBWhiteList").empty());

  fakeDrive.type = kDriveRemote;
  EXPECT_EQ(run({"VerifyMachine"}), 0);
  EXPECT_NE(out.str().find("\"id\" : 61474"), std::string::npos) << out.str();
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBWhiteList ORDER BY 1"), (std::vector<std::string>{"{A}", "{B}"}));
  fakeDrive.type = kDriveFixed;
  EXPECT_EQ(run({"VerifyMachine"}), 0);
  EXPECT_EQ(out.str(), document(kMachineReleased));
}

TEST_F(App, UpdateBlackList) {
  testing::createSchema(db);
  // {"content":[{"name":"O'Brien","productcode":"{1}","version":"1"},{"name":"x","productcode":"{1}"}]}
  const std::string input =
      "eyJjb250ZW50IjpbeyJuYW1lIjoiTydCcmllbiIsInByb2R1Y3Rjb2RlIjoiezF9IiwidmVyc2lvbiI6IjEifSx7Im5hbWUiOiJ4IiwicHJv"
      "ZHVjdGNvZGUiOiJ7MX0ifV19";
  EXPECT_EQ(run({"UpdateBlackList", input}), 0);
  EXPECT_EQ(out.str(), document(kBlackListUpdated));
  EXPECT_EQ(run({"-debug", "updateblacklist", input}), 0);  // adds again: the command never deletes
  EXPECT_EQ(queryRows(db, "SELECT Name, Version, ProductCode, Path, Date FROM TBBlackList"),
            (std::vector<std::string>{"O'Brien|1|{1}||", "O'Brien|1|{1}||"}));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"UpdateBlackList"}, {"UpdateBlackList", "bm90IGpzb24="}, {"UpdateBlackList", "WzFd"}}) {
    EXPECT_EQ(run(args), 0);
    EXPECT_EQ(out.str(), "error\n");
  }
  EXPECT_EQ(queryRows(db, "SELECT COUNT(*) FROM TBBlackList"), std::vector<std::string>{"2"});
}

// Holds the write lock of the database (another process updating it) while it lives.
class WriteLock {
 public:
  explicit WriteLock(const std::string& db) {
    EXPECT_EQ(sqlite3_open(db.c_str(), &conn_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(conn_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~WriteLock() { sqlite3_close_v2(conn_); }
  WriteLock(const WriteLock&) = delete;  // one owner closes the connection
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  sqlite3* conn_ = nullptr;
};

// A write lock held past the bounded wait: the verification ends as a failed run (not
// 61474 with every product) and the update answers "error"; nothing is stored.
TEST_F(App, WriteLockHeldPastTheWait) {
  testing::createSchema(db);
  testing::execSql(db,
                   "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{Z}');"
                   "INSERT INTO TBWhiteList (Name, ProductCode) VALUES ('a', '{A}');");
  inventory.products = {product("{A}")};
  const std::string input = base64(R"({"content":[{"name":"n","productcode":"{N}","version":"1"}]})");
  {
    WriteLock other(db);
    EXPECT_EQ(run({"VerifyMachine"}), -1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(logLines().back(), "|ERROR|Erro generico na aplicacao.TBWhiteList: database is locked");
    EXPECT_EQ(run({"UpdateBlackList", input}), 0);
    EXPECT_EQ(out.str(), "error\n");
    EXPECT_EQ(logLines().back(), "|ERROR|BlackList nao atualizada: database is locked");
  }
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBWhiteList"), std::vector<std::string>{"{A}"});
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBBlackList"), std::vector<std::string>{"{Z}"});
  // Once the lock is gone the same runs answer normally.
  EXPECT_EQ(run({"VerifyMachine"}), 0);
  EXPECT_EQ(out.str(), document(kMachineReleased));
  EXPECT_EQ(run({"UpdateBlackList", input}), 0);
  EXPECT_EQ(out.str(), document(kBlackListUpdated));
}

// A read-only database: the black list is read, but neither list can be changed, so
// the update answers "error" and the verification fails instead of reporting new products.
TEST_F(App, ReadOnlyDatabase) {
  testing::createSchema(db);
  testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{Z}');");
  inventory.products = {product("{A}")};
  readOnly = true;
  EXPECT_EQ(run({"UpdateBlackList", base64(R"({"content":[{"name":"n","productcode":"{N}"}]})")}), 0);
  EXPECT_EQ(out.str(), "error\n");
  EXPECT_EQ(logLines().back(), "|ERROR|BlackList nao atualizada: attempt to write a readonly database");
  EXPECT_EQ(run({"VerifyMachine"}), -1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(logLines().back(), "|ERROR|Erro generico na aplicacao.TBWhiteList: attempt to write a readonly database");
  EXPECT_EQ(queryRows(db, "SELECT ProductCode FROM TBBlackList UNION ALL SELECT ProductCode FROM TBWhiteList"),
            std::vector<std::string>{"{Z}"});
}

// A stream that refuses every byte, like a closed or full standard output.
class RefusingBuffer final : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

// An answer that cannot be written fails the run with an ERROR line, and the new
// products of a verification are not stored: the next run reports them again.
TEST_F(App, UnwritableOutputFailsTheRun) {
  testing::createSchema(db);
  testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{Z}');");
  inventory.products = {product("{A}")};
  RefusingBuffer refusing;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"Version"}, {"VerifyMachine"}}) {
    std::ostream closed(&refusing);
    CLog log(logPath, [] { return std::tm{}; });
    OrvaskContext context{inventory, fakeDrive, log, closed, DatabaseSettings{db, std::chrono::milliseconds(100)}};
    EXPECT_EQ(runOrvask(StartupStatus::Ready, args, context), -1) << args[0];
    log.close();
    EXPECT_EQ(logLines().back(), "|ERROR|Erro generico na aplicacao.Falha ao escrever na saida padrao.") << args[0];
  }
  EXPECT_TRUE(queryRows(db, "SELECT * FROM TBWhiteList").empty());
  EXPECT_EQ(run({"VerifyMachine"}), 0);
  EXPECT_NE(out.str().find("\"id\" : 61474"), std::string::npos) << out.str();
}

// A failure escaping a command is logged with its text cut to 253 characters.
TEST_F(App, EscapingFailureIsLogged) {
  testing::createSchema(db);
  testing::execSql(db, "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bad', '{Z}');");
  ThrowingDrive throwing;
  drive = &throwing;
  EXPECT_EQ(run({"VerifyMachine"}), -1);
  EXPECT_EQ(out.str(), "");
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "|ERROR|Erro generico na aplicacao." + std::string(253, 'x'));
}

}  // namespace
}  // namespace orvask
