#include "orvask/log.h"

#include <array>
#include <cstdio>

namespace orvask {

CLog::CLog(std::string fileName, Clock clock)
    : std::ostream(nullptr), buffer_(*this), fileName_(std::move(fileName)), clock_(std::move(clock)) {
  rdbuf(&buffer_);
  file_.open(fileName_, std::ios::out | std::ios::trunc);
}

CLog& CLog::instance() {
  static CLog log;
  return log;
}

CLog& CLog::Stream(LogLevel level) {
  static constexpr std::array<const char*, 4> kWords{"DEBUG", "INFO", "WARN", "ERROR"};
  char tag[8];
  std::snprintf(tag, sizeof tag, "|%5s|", kWords.at(static_cast<std::size_t>(level)));
  *this << tag;
  return *this;
}

void CLog::close() {
  if (file_.is_open()) file_.close();
}

std::tm CLog::localNow() {
  const std::time_t now = std::time(nullptr);
  // One thread per run, so the shared result of localtime is safe to copy.
  const std::tm* local = std::localtime(&now);
  return local != nullptr ? *local : std::tm{};
}

std::string CLog::timestamp(const std::tm& when) {
  // Year, then day, then month: the layout readers of this log expect.
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.tm_year + 1900, when.tm_mday,
                when.tm_mon + 1, when.tm_hour, when.tm_min, when.tm_sec);
  return text;
}

int CLog::Buffer::sync() {
  const std::string line = str();
  if (line.empty()) return 0;
  owner_.file_ << timestamp(owner_.clock_()) << line;
  str(std::string());
  return 0;
}

}  // namespace orvask
