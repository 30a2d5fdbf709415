#include "ankor/capi/store_files_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ankor/capi/platform.h"
#include "ankor/capi/store_format_linux.h"

namespace ankor::capi {
namespace {

constexpr std::uint32_t ERROR_DISK_FULL = 112;

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
  if (error == EACCES || error == EPERM || error == EROFS) return win::ERROR_ACCESS_DENIED;
  if (error == ENOSPC || error == EDQUOT) return ERROR_DISK_FULL;
  return win::NTE_FAIL;
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

std::optional<std::string> readStoreFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::uint32_t writeFileAtomically(const std::string& path, const std::string& content,
                                  WriteMode mode) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  std::string temp = dir + "/.tmp-" + path.substr(slash + 1) + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return errnoCode(errno);
  std::size_t written = 0;
  bool ok = fchmod(fd, 0600) == 0;
  while (ok && written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  const int writeError = errno;
  close(fd);
  if (!ok) {
    unlink(temp.c_str());
    return errnoCode(writeError);
  }
  if (mode == WriteMode::CreateNew) {
    const int linked = link(temp.c_str(), path.c_str());
    const int linkError = errno;
    unlink(temp.c_str());
    if (linked != 0) return linkError == EEXIST ? win::NTE_EXISTS : errnoCode(linkError);
  } else if (rename(temp.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    unlink(temp.c_str());
    return errnoCode(renameError);
  }
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return 0;
}

std::vector<std::string> listContainerNames(const StorePaths& paths) {
  std::vector<std::string> names;
  DIR* dir = opendir(paths.containers.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.empty() || file[0] == '.' || file.size() <= 4 ||
        file.compare(file.size() - 4, 4, ".key") != 0) {
      continue;
    }
    std::optional<std::string> name;
    if (const auto text = readStoreFile(paths.containers + "/" + file)) {
      if (const auto parsed = parseContainerFile(*text)) name = parsed->name;
    }
    if (!name) name = unescapeName(file.substr(0, file.size() - 4));
    if (name) names.push_back(*name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ankor::capi
