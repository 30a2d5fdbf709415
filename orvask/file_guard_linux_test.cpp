#include "orvask/file_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "orvask/database.h"
#include "orvask/framework.h"
#include "orvask/log.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// An unprivileged user id for the "someone else" cases; they need root to chown.
constexpr uid_t kOtherUser = 65534;

class FileGuard : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string log = dir.file("OrvaskApp.log");
  std::string why;
};

// Links are never followed: the file a link points to keeps its contents, and a link to
// a missing path creates nothing there.
TEST_F(FileGuard, LogIsNeverOpenedThroughALink) {
  writeFile(dir.file("root-only"), "keep me\n");
  fs::create_symlink(dir.file("root-only"), log);
  EXPECT_FALSE(openLogFile(log, false, why));
  EXPECT_EQ(why, log + " e um link simbolico.");
  EXPECT_EQ(contents(dir.file("root-only")), "keep me\n");
  fs::remove(log);
  fs::create_symlink(dir.file("cron.d/planted"), log);
  EXPECT_FALSE(openLogFile(log, false, why));
  EXPECT_FALSE(fs::exists(dir.file("cron.d/planted")));
}

// Only a regular file with one name: a FIFO is refused at once (no wait for a reader),
// a second hard link is refused before anything is emptied.
TEST_F(FileGuard, LogMustBeARegularFileWithOneName) {
  ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(openLogFile(log, false, why));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(why, log + " nao e um arquivo regular.");
  fs::remove(log);
  writeFile(dir.file("other-name"), "keep me\n");
  fs::create_hard_link(dir.file("other-name"), log);
  EXPECT_FALSE(openLogFile(log, false, why));
  EXPECT_EQ(why, log + " tem mais de um nome (link fisico).");
  EXPECT_EQ(contents(log), "keep me\n");
}

// Created with mode 0644 whatever the umask; an own file of another mode gets 0644 too;
// the previous run's lines are gone.
TEST_F(FileGuard, LogHasAFixedMode) {
  const mode_t previous = umask(0);
  { const LogFile created = openLogFile(log, false, why); EXPECT_TRUE(created); }
  umask(previous);
  EXPECT_EQ(modeOf(log), 0644u);
  writeFile(log, "old run\n");
  chmod(log.c_str(), 0666);
  {
    const LogFile reopened = openLogFile(log, false, why);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(writeLogFile(reopened.get(), "new run\n"));
  }
  EXPECT_EQ(modeOf(log), 0644u);
  EXPECT_EQ(contents(log), "new run\n");
}

// A run with rights accepts only a log of its own that no one else can write, and
// leaves any other untouched.
TEST_F(FileGuard, TrustedLogIsTheCallersOwn) {
  writeFile(log, "someone's\n");
  chmod(log.c_str(), 0664);
  EXPECT_FALSE(openLogFile(log, true, why));
  EXPECT_EQ(why, log + " pode ser alterado pelo grupo ou por outros usuarios (modo 0664).");
  EXPECT_EQ(contents(log), "someone's\n");
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  chmod(log.c_str(), 0644);
  ASSERT_EQ(chown(log.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(openLogFile(log, true, why));
  EXPECT_EQ(why, log + " pertence ao usuario 65534, nao a quem executa (0).");
  EXPECT_EQ(contents(log), "someone's\n");
  EXPECT_EQ(modeOf(log), 0644u);
}

// The rule of a run with rights: owner the effective user, no group or other write bit.
TEST_F(FileGuard, TrustedMeansOwnAndWritableByNoOneElse) {
  const std::string file = dir.file("Orvask.db");
  EXPECT_EQ(checkTrusted(file, "Orvask.db"), "");  // absent
  writeFile(file, "");
  for (const mode_t mode : {0600, 0644, 0444, 0755}) {
    chmod(file.c_str(), mode);
    EXPECT_EQ(checkTrusted(file, "Orvask.db"), "") << std::oct << mode;
  }
  for (const mode_t mode : {0666, 0620, 0602, 0777}) {
    chmod(file.c_str(), mode);
    EXPECT_NE(checkTrusted(file, "Orvask.db"), "") << std::oct << mode;
  }
  chmod(file.c_str(), 0666);
  EXPECT_EQ(checkTrusted(file, "Orvask.db"), "Orvask.db pode ser alterado pelo grupo ou por outros usuarios (modo 0666).");
  chmod(dir.path().c_str(), 01777);
  EXPECT_NE(checkTrusted(dir.path().string(), "dir"), "");
  chmod(dir.path().c_str(), 0755);
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  chmod(file.c_str(), 0600);
  ASSERT_EQ(chown(file.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(checkTrusted(file, "Orvask.db"), "Orvask.db pertence ao usuario 65534, nao a quem executa (0).");
}

// Nothing but a regular file (or nothing) where SQLite opens its files: a FIFO at the
// journal would block the run, a link would put the database anywhere. The access
// fails at once, nothing is created through the link.
TEST_F(FileGuard, DatabaseFilesMustBeRegular) {
  const std::string db = dir.file("Orvask.db");
  testing::createSchema(db);
  EXPECT_EQ(checkDatabaseFiles(db), "");
  ASSERT_EQ(mkfifo((db + "-journal").c_str(), 0600), 0);
  EXPECT_EQ(checkDatabaseFiles(db), db + "-journal nao e um arquivo regular.");
  const auto start = std::chrono::steady_clock::now();
  SoftwareMap map;
  EXPECT_THROW((void)CDBOrvask(DatabaseSettings{db, std::chrono::milliseconds(100)}).InsertList(kInsertBlackList, {{"A", SoftwareRecord{"a", "1", "A", "", ""}}}),
               FrameworkError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  fs::remove(db + "-journal");
  fs::create_directory(db + "-wal");
  EXPECT_EQ(checkDatabaseFiles(db), db + "-wal nao e um arquivo regular.");
  fs::remove(db + "-wal");

  const std::string linked = dir.file("linked.db");
  fs::create_symlink(dir.file("elsewhere/Orvask.db"), linked);
  EXPECT_EQ(checkDatabaseFiles(linked), linked + " e um link simbolico.");
  EXPECT_THROW((void)CDBOrvask(DatabaseSettings{linked, std::chrono::milliseconds(100)}).LoadList(kSelectBlackList, map), FrameworkError);
  fs::create_directory(dir.file("elsewhere"));
  EXPECT_THROW((void)CDBOrvask(DatabaseSettings{linked, std::chrono::milliseconds(100)}).LoadList(kSelectBlackList, map), FrameworkError);
  EXPECT_FALSE(fs::exists(dir.file("elsewhere/Orvask.db")));
}

}  // namespace
}  // namespace orvask
