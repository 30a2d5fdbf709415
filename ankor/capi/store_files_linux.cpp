#include "ankor/capi/store_files_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include "ankor/capi/platform.h"
#include "ankor/capi/store_format_linux.h"

namespace ankor::capi {
namespace {

constexpr std::uint32_t kErrorDiskFull = 112;  // ERROR_DISK_FULL
constexpr const char* kTemporaryPrefix = ".tmp-";
// A temporary file of the older naming this long untouched has no writer left.
constexpr std::time_t kLegacyTemporaryAge = 600;

// Owner of one file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;  // a copy would close it twice
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now; the result of close, which reports a write the kernel could not finish.
  int reset() noexcept { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

// The directory without following a symbolic link in its place; null with errno set.
Directory openDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return Directory(dir);
}

// The caller's own, and writable by no one else.
bool ownAndPrivate(const struct stat& status) {
  return status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The names of a directory's files ending with suffix (hidden ones left out), in byte
// order; none when the directory is absent, ERROR_ACCESS_DENIED when a link or another
// kind of file stands in its place or the directory is not the caller's own
// (checkStoreDirectory).
std::uint32_t listFilesEndingWith(const std::string& directory, const char* suffix,
                                  std::vector<std::string>* files) {
  files->clear();
  if (const std::uint32_t error = checkStoreDirectory(directory)) return error;
  const Directory dir = openDirectory(directory);
  if (!dir) {
    if (errno == ENOENT) return 0;
    return errno == ELOOP || errno == ENOTDIR ? win::kErrorAccessDenied : errnoCode(errno);
  }
  const std::string tail = suffix;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string file = entry->d_name;
    if (file.empty() || file[0] == '.' || file.size() <= tail.size() ||
        file.compare(file.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    files->push_back(file);
  }
  std::sort(files->begin(), files->end());
  return 0;
}

// The process id in a temporary file's name ".tmp-<pid>-XXXXXX", or 0 for another name.
pid_t writerOf(const std::string& name) {
  const std::size_t prefix = std::char_traits<char>::length(kTemporaryPrefix);
  const std::size_t dash = name.find('-', prefix);
  if (dash == std::string::npos || dash == prefix || dash - prefix > 9 ||
      name.size() != dash + 7) {
    return 0;
  }
  pid_t pid = 0;
  for (std::size_t i = prefix; i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

}  // namespace

std::optional<StorePaths> storePaths() {
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeDir = home != nullptr && home[0] == '/' ? home : "";
    if (homeDir.empty()) {
      if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        homeDir = entry->pw_dir;
      }
    }
    if (homeDir.empty()) return std::nullopt;
    base = homeDir + "/.local/share";
  }
  StorePaths paths{base + "/ankor", base + "/ankor/containers", base + "/ankor/stores"};
  return paths;
}

std::string containerFilePath(const StorePaths& paths, const std::string& name) {
  return paths.containers + "/" + escapeName(foldCase(name)) + ".key";
}

std::uint32_t errnoCode(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return win::kErrorAccessDenied;
  if (error == ENOSPC || error == EDQUOT) return kErrorDiskFull;
  return win::kFail;
}

std::uint32_t makeDirectories(const std::string& path, mode_t lastMode) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return errnoCode(errno);
  }
  if (mkdir(path.c_str(), lastMode) != 0 && errno != EEXIST) return errnoCode(errno);
  return 0;
}

std::uint32_t checkStoreDirectory(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errnoCode(errno);
  if (!S_ISDIR(status.st_mode) || !ownAndPrivate(status)) return win::kErrorAccessDenied;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return 0;
  // The directory holding it (the store's root) may be a link, to a data directory
  // moved elsewhere: what it leads to is judged.
  if (::stat(path.substr(0, slash).c_str(), &status) != 0) return errnoCode(errno);
  return S_ISDIR(status.st_mode) && ownAndPrivate(status) ? 0 : win::kErrorAccessDenied;
}

std::uint32_t checkStoreFile(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errnoCode(errno);
  // A link's own mode is always 0777; what it points to is read only if acceptable.
  const bool own = S_ISLNK(status.st_mode) ? status.st_uid == geteuid() : ownAndPrivate(status);
  return own ? 0 : win::kErrorAccessDenied;
}

std::uint32_t makeStoreDirectory(const std::string& path) {
  // mkdir never follows a link in the last place (EEXIST), so the check after it sees
  // whatever stands there.
  if (const std::uint32_t error = makeDirectories(path, 0700)) return error;
  return checkStoreDirectory(path);
}

std::optional<std::string> readStoreFile(const std::string& path) {
  // The status is checked before opening, since opening a device can have effects of
  // its own, and again on the open file, which may have replaced the one checked.
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
  struct stat status {};
  auto acceptable = [&] {
    return S_ISREG(status.st_mode) && ownAndPrivate(status) && status.st_size >= 0 &&
           static_cast<std::size_t>(status.st_size) <= kMaxStoreFileSize;
  };
  if (::stat(path.c_str(), &status) != 0 || !acceptable()) return std::nullopt;
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd || fstat(fd.get(), &status) != 0 || !acceptable()) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.size() > kMaxStoreFileSize) return std::nullopt;  // grew while read
  }
}

void removeStaleTemporaries(const std::string& directory) {
  const Directory dir = openDirectory(directory);
  if (!dir) return;
  const std::time_t now = std::time(nullptr);
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.rfind(kTemporaryPrefix, 0) != 0) continue;
    bool stale = false;
    if (const pid_t writer = writerOf(name); writer != 0) {
      stale = writer != getpid() && kill(writer, 0) != 0 && errno == ESRCH;
    } else {
      struct stat status {};
      stale = fstatat(dirfd(dir.get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
              now - status.st_mtime > kLegacyTemporaryAge;
    }
    if (stale) (void)unlinkat(dirfd(dir.get()), name.c_str(), 0);
  }
}

std::uint32_t writeFileAtomically(const std::string& path, const std::string& content,
                                  WriteMode mode) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  removeStaleTemporaries(dir);
  // Named after this process, not after the target: the name stays short whatever the
  // target's length, and tells a later writer whether its writer still runs.
  std::string temp = dir + "/" + kTemporaryPrefix + std::to_string(getpid()) + "-XXXXXX";
  FileDescriptor fd(mkstemp(temp.data()));
  if (!fd) return errnoCode(errno);
  std::size_t written = 0;
  bool ok = fchmod(fd.get(), 0600) == 0;
  while (ok && written < content.size()) {
    const ssize_t n = write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && fsync(fd.get()) == 0;
  const int writeError = errno;
  fd.reset();
  if (!ok) {
    unlink(temp.c_str());
    return errnoCode(writeError);
  }
  if (mode == WriteMode::CreateNew) {
    const int linked = link(temp.c_str(), path.c_str());
    const int linkError = errno;
    unlink(temp.c_str());
    if (linked != 0) return linkError == EEXIST ? win::kKeySetExists : errnoCode(linkError);
  } else if (rename(temp.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    unlink(temp.c_str());
    return errnoCode(renameError);
  }
  if (const FileDescriptor dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dirFd) {
    fsync(dirFd.get());
  }
  return 0;
}

std::uint32_t listContainerNames(const StorePaths& paths, std::vector<std::string>* names) {
  names->clear();
  std::vector<std::string> files;
  if (const std::uint32_t error = listFilesEndingWith(paths.containers, ".key", &files)) {
    return error;
  }
  for (const std::string& file : files) {
    std::optional<std::string> name;
    if (const auto text = readStoreFile(paths.containers + "/" + file)) {
      if (const auto parsed = parseContainerFile(*text)) name = parsed->name;
    }
    // A name line longer than any name the store creates (a file edited by hand) would
    // not fit the listing's buffer and end the listing there.
    if (name && name->size() > kMaxContainerNameBytes) name.reset();
    if (!name) name = unescapeName(file.substr(0, file.size() - 4));
    if (name) names->push_back(*name);
  }
  std::sort(names->begin(), names->end());
  return 0;
}

std::uint32_t listStoreEntryFiles(const std::string& directory, std::vector<std::string>* files) {
  return listFilesEndingWith(directory, ".cer", files);
}

}  // namespace ankor::capi
