#pragma once
// The run log "OrvaskApp.log": one line per event, "YYYY-DD-MM hh:mm:ss|LEVEL|message".
#include <ctime>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>

namespace orvask {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

class CLog : public std::ostream {
 public:
  using Clock = std::function<std::tm()>;

  // Opens (creates or empties) the file for output; when that fails every line is dropped.
  explicit CLog(std::string fileName = "OrvaskApp.log", Clock clock = localNow);
  ~CLog() override = default;
  CLog(const CLog&) = delete;  // one stream per log file
  CLog& operator=(const CLog&) = delete;

  // The process-wide log of the program, in the current directory.
  static CLog& instance();

  // Starts a line: "|" + level word right-aligned in five characters + "|". The caller
  // ends the line with std::endl, which stamps it and hands it to the file.
  CLog& Stream(LogLevel level);

  void setDebug(bool on) { debug_ = on; }
  [[nodiscard]] bool debug() const { return debug_; }
  // Closes the file; a failed close only marks the file stream failed.
  void close();

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

  bool debug_ = false;
  Buffer buffer_;
  std::string fileName_;
  std::ofstream file_;
  Clock clock_;
};

}  // namespace orvask
