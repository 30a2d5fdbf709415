#include "orvask/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "orvask/test_support.h"

namespace orvask {
namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  std::string s = text.str();
  std::erase(s, '\r');  // text mode on Windows writes CR LF
  return s;
}

// A line is timestamp (year-day-month), "|", the level word right-aligned in five, "|", message.
TEST(CLog, LinesCarryStampAndPaddedLevel) {
  testing::TempDir dir;
  const std::string path = dir.file("OrvaskApp.log");
  {
    CLog log(path, [] { return at(2020, 2, 3, 9, 5, 7); });
    log.Stream(LogLevel::Debug) << "Programa Orvask iniciando." << std::endl;
    log.Stream(LogLevel::Info) << "a" << std::endl;
    log.Stream(LogLevel::Warn) << "b" << std::endl;
    log.Stream(LogLevel::Error) << "Argumento(s) nao reconhecido(s)." << "Foo" << std::endl;
    log.close();
  }
  EXPECT_EQ(readFile(path),
            "2020-03-02 09:05:07|DEBUG|Programa Orvask iniciando.\n"
            "2020-03-02 09:05:07| INFO|a\n"
            "2020-03-02 09:05:07| WARN|b\n"
            "2020-03-02 09:05:07|ERROR|Argumento(s) nao reconhecido(s).Foo\n");
}

TEST(CLog, TimestampPutsDayBeforeMonth) {
  EXPECT_EQ(CLog::timestamp(at(2026, 12, 9, 14, 3, 0)), "2026-09-12 14:03:00");
  EXPECT_EQ(CLog::timestamp(at(999, 1, 31, 0, 0, 59)), "0999-31-01 00:00:59");
}

// The clock is read when the line ends, once per line.
TEST(CLog, StampTakenAtEndOfLine) {
  testing::TempDir dir;
  const std::string path = dir.file("OrvaskApp.log");
  int second = 0;
  {
    CLog log(path, [&] { return at(2021, 5, 6, 7, 8, second++); });
    log.Stream(LogLevel::Info) << "one" << std::endl;
    log.Stream(LogLevel::Info) << "two" << std::endl;
    log.close();
  }
  EXPECT_EQ(readFile(path), "2021-06-05 07:08:00| INFO|one\n2021-06-05 07:08:01| INFO|two\n");
  EXPECT_EQ(second, 2);
}

// Every run starts a fresh file.
TEST(CLog, NewLogReplacesPrevious) {
  testing::TempDir dir;
  const std::string path = dir.file("OrvaskApp.log");
  for (const char* message : {"first run", "second run"}) {
    CLog log(path, [] { return at(2020, 1, 1, 0, 0, 0); });
    log.Stream(LogLevel::Debug) << message << std::endl;
    log.close();
  }
  EXPECT_EQ(readFile(path), "2020-01-01 00:00:00|DEBUG|second run\n");
}

// Text from outside (a database's error text, an argument, a product name) cannot start
// a line of its own: control characters are written as \xHH; everything else, and
// the line end that ends the line, is written unchanged.
TEST(CLog, ControlCharactersCannotForgeLines) {
  testing::TempDir dir;
  const std::string path = dir.file("OrvaskApp.log");
  {
    CLog log(path, [] { return at(2020, 1, 1, 0, 0, 0); });
    log.Stream(LogLevel::Error) << "BlackList nao atualizada: "
                                << "x\n2020-01-01 00:00:00|ERROR|forged\r\n* * * * * root sh /tmp/x\n" << std::endl;
    log.Stream(LogLevel::Debug) << "tab\there, bell\a, escape\x1b[2J, delete\x7f, end" << std::endl;
    log.Stream(LogLevel::Info) << "C:\\Program Files\\Caf\xc3\xa9 (x86) {A}|'\"" << std::endl;
    log.close();
  }
  EXPECT_EQ(readFile(path),
            "2020-01-01 00:00:00|ERROR|BlackList nao atualizada: x\\x0a2020-01-01 00:00:00|ERROR|forged\\x0d\\x0a"
            "* * * * * root sh /tmp/x\\x0a\n"
            "2020-01-01 00:00:00|DEBUG|tab\\x09here, bell\\x07, escape\\x1b[2J, delete\\x7f, end\n"
            "2020-01-01 00:00:00| INFO|C:\\Program Files\\Caf\xc3\xa9 (x86) {A}|'\"\n");
}

// A log that cannot be created drops its lines and disturbs nothing else.
TEST(CLog, UnwritableFileDropsLines) {
  testing::TempDir dir;
  const std::string path = dir.file("missing-dir/OrvaskApp.log");
  CLog log(path);
  log.Stream(LogLevel::Error) << "lost" << std::endl;
  EXPECT_TRUE(log.good());
  log.close();
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace orvask
