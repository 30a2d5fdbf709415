#include "orvask/log.h"

#include <array>
#include <cstdio>

namespace orvask {

namespace {
constexpr std::size_t kWriteBlock = 4096;
}  // namespace

CLog::CLog(std::string fileName, Clock clock, bool trustedOnly)
    : std::ostream(nullptr), buffer_(*this), fileName_(std::move(fileName)), clock_(std::move(clock)) {
  rdbuf(&buffer_);
  file_ = openLogFile(fileName_, trustedOnly, refusal_);
}

CLog& CLog::instance() {
  static CLog log("OrvaskApp.log", localNow, runsWithRights());
  return log;
}

CLog& CLog::Stream(LogLevel level) {
  static constexpr std::array<const char*, 4> kWords{"DEBUG", "INFO", "WARN", "ERROR"};
  char tag[8];
  std::snprintf(tag, sizeof tag, "|%5s|", kWords.at(static_cast<std::size_t>(level)));
  *this << tag;
  return *this;
}

void CLog::writePending() {
  if (file_ && !failed_ && !pending_.empty()) failed_ = !writeLogFile(file_.get(), pending_);
  pending_.clear();
}

void CLog::close() {
  writePending();
  file_.reset();
}

std::string CLog::escapeLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  const std::size_t end = !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
  for (std::size_t i = 0; i < end; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out.append(line.substr(end));
  return out;
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
  if (owner_.file_) {
    owner_.pending_ += timestamp(owner_.clock_());
    owner_.pending_ += escapeLine(line);
    if (owner_.pending_.size() >= kWriteBlock) owner_.writePending();
  }
  str(std::string());
  return 0;
}

}  // namespace orvask
