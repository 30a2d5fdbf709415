// A library preloaded into a program under test: with ANKOR_KILL_AT=N it ends the
// process with SIGKILL just before its Nth file-changing call, as a crash or a power
// cut would at that point. Counted: mkdir, mkstemp, fchmod, write (except to standard
// output and error), fsync, link, rename, unlink, unlinkat.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

void beforeFileChange() {
  static long target = -1;
  static long count = 0;
  if (target < 0) {
    const char* value = std::getenv("ANKOR_KILL_AT");
    target = value != nullptr ? std::atol(value) : 0;
  }
  if (target > 0 && ++count == target) kill(getpid(), SIGKILL);
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int mkdir(const char* path, mode_t mode) {
  beforeFileChange();
  static auto real = next<int (*)(const char*, mode_t)>("mkdir");
  return real(path, mode);
}
int mkstemp(char* pattern) {
  beforeFileChange();
  static auto real = next<int (*)(char*)>("mkstemp");
  return real(pattern);
}
int fchmod(int fd, mode_t mode) {
  beforeFileChange();
  static auto real = next<int (*)(int, mode_t)>("fchmod");
  return real(fd, mode);
}
ssize_t write(int fd, const void* data, size_t size) {
  if (fd > 2) beforeFileChange();
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, data, size);
}
int fsync(int fd) {
  beforeFileChange();
  static auto real = next<int (*)(int)>("fsync");
  return real(fd);
}
int link(const char* from, const char* to) {
  beforeFileChange();
  static auto real = next<int (*)(const char*, const char*)>("link");
  return real(from, to);
}
int rename(const char* from, const char* to) {
  beforeFileChange();
  static auto real = next<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}
int unlink(const char* path) {
  beforeFileChange();
  static auto real = next<int (*)(const char*)>("unlink");
  return real(path);
}
int unlinkat(int dir, const char* path, int flags) {
  beforeFileChange();
  static auto real = next<int (*)(int, const char*, int)>("unlinkat");
  return real(dir, path, flags);
}

}  // extern "C"
