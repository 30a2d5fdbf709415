#pragma once
// The run log "OrvaskApp.log": one line per event, "YYYY-DD-MM hh:mm:ss|LEVEL|message".
#include <ctime>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "orvask/file_guard.h"

namespace orvask {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

class CLog : public std::ostream {
 public:
  using Clock = std::function<std::tm()>;

  // Opens (creates or empties) the file for output (openLogFile: no link, only a regular
  // file; with `trustedOnly` also the rule of a run with rights); when that fails every
  // line is dropped.
  explicit CLog(std::string fileName = "OrvaskApp.log", Clock clock = localNow, bool trustedOnly = false);
  ~CLog() override { close(); }
  CLog(const CLog&) = delete;  // one stream per log file
  CLog& operator=(const CLog&) = delete;

  // The process-wide log of the program, in the current directory; a run with rights
  // accepts only a file that passes checkTrusted.
  static CLog& instance();

  // Starts a line: "|" + level word right-aligned in five characters + "|". The caller
  // ends the line with std::endl, which stamps it and hands it to the file.
  CLog& Stream(LogLevel level);

  void setDebug(bool on) { debug_ = on; }
  [[nodiscard]] bool debug() const { return debug_; }
  // Closes the file; a failed close only marks the file stream failed.
  void close();
  [[nodiscard]] bool isOpen() const { return static_cast<bool>(file_); }
  // Why the file was refused (a link, not a regular file, or for a run with rights
  // someone else's or writable by others); empty when it was opened or could simply
  // not be created.
  [[nodiscard]] const std::string& refusal() const { return refusal_; }

  // The line as it goes to the file: control characters (a line end included) become
  // "\xHH", except the line end that ends it, so text from outside cannot start a line.
  static std::string escapeLine(std::string_view line);

  static std::tm localNow();
  static std::string timestamp(const std::tm& when);

 private:
  class Buffer : public std::stringbuf {
   public:
    explicit Buffer(CLog& owner) : owner_(owner) {}
   protected:
    int sync() override;
   private:
    CLog& owner_;
  };

  // Hands the lines collected so far to the file.
  void writePending();

  bool debug_ = false;
  Buffer buffer_;
  std::string fileName_;
  LogFile file_;
  std::string refusal_;
  std::string pending_;  // lines not yet written: the file is written in blocks
  bool failed_ = false;
  Clock clock_;
};

}  // namespace orvask
