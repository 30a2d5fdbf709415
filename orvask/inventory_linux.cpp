#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string_view>

#include "orvask/dpkg_status.h"
#include "orvask/inventory_linux.h"

namespace orvask {

namespace {

constexpr std::uint32_t kStatusUnreadable = 2;  // like ERROR_FILE_NOT_FOUND

// Owner of a file descriptor (open / close).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;  // a copy would close twice
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The whole file in one buffer, sized by fstat (one byte more shows the end at once) and
// read until its end; false when it cannot be read. The buffer is not cleared first.
bool readWhole(const std::string& path, std::unique_ptr<char[]>& text, std::size_t& size) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || fstat(file.get(), &info) != 0) return false;
  std::size_t capacity = static_cast<std::size_t>(info.st_size) + 1;
  text.reset(new char[capacity]);
  size = 0;
  for (;;) {
    if (size == capacity) {  // the file grew while it was read
      std::unique_ptr<char[]> larger(new char[capacity * 2]);
      std::copy(text.get(), text.get() + size, larger.get());
      text = std::move(larger);
      capacity *= 2;
    }
    const ssize_t n = ::read(file.get(), text.get() + size, capacity - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    size += static_cast<std::size_t>(n);
  }
}

// Install date of a package: the day its file list was last written (YYYYMMDD, local
// time); "name:arch.list" first, then "name.list", looked up in the info directory. The
// names are built in `scratch`, whose storage is reused from package to package.
std::string installDate(int infoDir, const DpkgStanza& package, std::string& scratch) {
  if (infoDir < 0) return {};
  struct stat info {};
  scratch.assign(package.package).append(":").append(package.architecture).append(".list");
  if (fstatat(infoDir, scratch.c_str(), &info, 0) != 0) {
    scratch.assign(package.package).append(".list");
    if (fstatat(infoDir, scratch.c_str(), &info, 0) != 0) return {};
  }
  std::tm local{};
  if (localtime_r(&info.st_mtime, &local) == nullptr) return {};
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

// Reads the status file afresh at the start of each enumeration (index 0) and then
// parses it as the products are asked for, one stanza after the other: the fields are
// views into the text, and only those of the product handed over are copied.
class DpkgInventory final : public ProductInventory {
 public:
  explicit DpkgInventory(std::string adminDir) : adminDir_(std::move(adminDir)) {}

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    if (index == 0 && !load()) return kStatusUnreadable;
    if (!text_) return kStatusUnreadable;
    DpkgStanza package;
    if (index != next_) {
      // Out of order: count again from the start, without dating the products passed.
      rest_ = std::string_view(text_.get(), size_);
      next_ = 0;
      while (next_ < index && nextInstalled(package)) ++next_;
      if (next_ < index) return kInventoryNoMoreItems;
    }
    if (!nextInstalled(package)) return kInventoryNoMoreItems;
    ++next_;
    std::string code;
    code.reserve(package.package.size() + 1 + package.architecture.size());
    code.append(package.package).append(":").append(package.architecture);  // as productCodeOf
    // dpkg records no install location; it stays empty like an MSI that sets none.
    product = InstalledProduct{std::move(code), std::string(package.package), std::string(package.version),
                               installDate(infoDir_.get(), package, scratch_), {}};
    return kInventorySuccess;
  }

 private:
  bool load() {
    text_.reset();
    next_ = 0;
    if (!readWhole(adminDir_ + "/status", text_, size_)) {
      text_.reset();
      return false;
    }
    rest_ = std::string_view(text_.get(), size_);
    infoDir_.reset(::open((adminDir_ + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return true;
  }
  // The next stanza of a package whose files may be on the machine.
  bool nextInstalled(DpkgStanza& package) {
    while (nextDpkgStanza(rest_, package))
      if (isInstalledStatus(package.status)) return true;
    return false;
  }

  std::string adminDir_;
  std::unique_ptr<char[]> text_;
  std::size_t size_ = 0;
  std::string_view rest_;  // the text not parsed yet
  std::uint32_t next_ = 0;  // the index of the product the next stanza gives
  FileDescriptor infoDir_;
  std::string scratch_;  // file-list names, built in storage reused from product to product
};

}  // namespace

std::unique_ptr<ProductInventory> makeDpkgInventory(std::string adminDir) {
  return std::make_unique<DpkgInventory>(std::move(adminDir));
}

std::unique_ptr<ProductInventory> makeInventory() { return makeDpkgInventory("/var/lib/dpkg"); }

}  // namespace orvask
