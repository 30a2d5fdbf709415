#pragma once
// The checks that keep a run safe in a working directory another user may write: the
// log opened without following links, no special files where SQLite opens its files,
// and, for a run with rights, the rule that the directory and its files are the
// caller's own and writable by no one else.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/unique_handle.h"

namespace orvask {

#ifdef _WIN32
using LogFileHandle = void*;  // HANDLE; a failed CreateFileA is kept as none
inline constexpr LogFileHandle kNoLogFile = nullptr;
#else
using LogFileHandle = int;
inline constexpr LogFileHandle kNoLogFile = -1;
#endif
void closeLogFile(LogFileHandle file) noexcept;
using LogFile = tarvo::UniqueHandle<LogFileHandle, kNoLogFile, closeLogFile>;

// True when the run has rights: euid 0 on Linux, an elevated token on Windows.
[[nodiscard]] bool runsWithRights();

// Opens (or creates) the log for writing and empties it, never through a symbolic link
// or reparse point, never waiting (a FIFO), and only when it is a regular file with one
// name. Linux creates it with mode 0644 whatever the umask. With `trustedOnly` the file
// must also pass checkTrusted before it is emptied. A file that is refused or cannot be
// opened gives no handle and the reason in `why` (empty when the log could simply not
// be created, for instance in a read-only directory).
[[nodiscard]] LogFile openLogFile(const std::string& path, bool trustedOnly, std::string& why);
// Writes all of `text` (Windows: each "\n" as "\r\n", the text-mode layout); false when
// the write fails.
[[nodiscard]] bool writeLogFile(LogFileHandle file, std::string_view text);

// SQLite opens the database and, beside it, "-journal", "-wal" and "-shm" files. Each
// that exists must be a regular file (no link, FIFO, device, directory or reparse
// point); otherwise the reason, naming the file. Empty when all are acceptable.
[[nodiscard]] std::string checkDatabaseFiles(const std::string& path);

// The rule of a run with rights for a file or directory: it must belong to the caller
// (Linux: the effective user; Windows: the caller, Administrators or SYSTEM) and no one
// else may write it (Linux: no group or other write bit; Windows: no write access for
// Everyone, Users or Authenticated Users). Empty when it holds or the path does not
// exist; otherwise the reason, naming `label`.
[[nodiscard]] std::string checkTrusted(const std::string& path, const std::string& label);

}  // namespace orvask
