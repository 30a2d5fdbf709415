#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "orvask/file_guard.h"

namespace orvask {

namespace {

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The rule on a file's status: empty, or why it fails.
std::string trustProblem(const struct stat& status, const std::string& label) {
  if (status.st_uid != geteuid())
    return label + " pertence ao usuario " + std::to_string(status.st_uid) + ", nao a quem executa (" +
           std::to_string(geteuid()) + ").";
  // A link's own mode is always 0777 and means nothing; a link is refused where it matters.
  if (!S_ISLNK(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return label + " pode ser alterado pelo grupo ou por outros usuarios (modo " + octal(status.st_mode) + ").";
  return {};
}

}  // namespace

void closeLogFile(LogFileHandle file) noexcept { ::close(file); }

bool runsWithRights() { return geteuid() == 0; }

LogFile openLogFile(const std::string& path, bool trustedOnly, std::string& why) {
  why.clear();
  // No O_TRUNC: nothing is emptied before the checks. O_NONBLOCK: a FIFO without a
  // reader fails at once (ENXIO) instead of waiting.
  LogFile file(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  if (!file) {
    if (errno == ELOOP) why = path + " e um link simbolico.";
    else if (errno == ENXIO) why = path + " nao e um arquivo regular.";
    return LogFile();
  }
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return LogFile();
  if (!S_ISREG(status.st_mode)) {
    why = path + " nao e um arquivo regular.";
    return LogFile();
  }
  if (status.st_nlink != 1) {
    why = path + " tem mais de um nome (link fisico).";
    return LogFile();
  }
  if (trustedOnly) {
    why = trustProblem(status, path);
    if (!why.empty()) return LogFile();
  }
  // A fixed mode whatever the umask (a file just created has the umask's). Only the
  // owner can change the mode; someone else's file keeps its own.
  if (status.st_uid == geteuid() && (status.st_mode & 07777) != 0644 && fchmod(file.get(), 0644) != 0)
    return LogFile();
  // Blocking writes from here on (a regular file never blocks anyway).
  if (fcntl(file.get(), F_SETFL, 0) != 0 || ftruncate(file.get(), 0) != 0) return LogFile();
  return file;
}

bool writeLogFile(LogFileHandle file, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(file, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string checkDatabaseFiles(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string name = path + suffix;
    struct stat status {};
    if (lstat(name.c_str(), &status) != 0) continue;  // absent: SQLite creates a regular file
    if (S_ISLNK(status.st_mode)) return name + " e um link simbolico.";
    if (!S_ISREG(status.st_mode)) return name + " nao e um arquivo regular.";
  }
  return {};
}

std::string checkTrusted(const std::string& path, const std::string& label) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return {};
  return trustProblem(status, label);
}

}  // namespace orvask
