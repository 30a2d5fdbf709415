#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "orvask/dpkg_status.h"
#include "orvask/inventory_linux.h"

namespace orvask {

namespace {

constexpr std::uint32_t kStatusUnreadable = 2;  // like ERROR_FILE_NOT_FOUND

// Owner of a file descriptor (open / close).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;  // a copy would close twice
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const noexcept { return fd_; }

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

class DpkgInventory final : public ProductInventory {
 public:
  explicit DpkgInventory(std::string adminDir) : adminDir_(std::move(adminDir)) {}

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    if (index == 0 && !load()) return kStatusUnreadable;
    if (index >= products_.size()) return kInventoryNoMoreItems;
    // Each index is asked once per enumeration (which starts again at 0), so the
    // product is handed over rather than copied.
    product = std::move(products_[index]);
    return kInventorySuccess;
  }

 private:
  // Reads the status file afresh at the start of each enumeration.
  bool load() {
    products_.clear();
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
    if (!readWhole(adminDir_ + "/status", text, size)) return false;
    const FileDescriptor infoDir(::open((adminDir_ + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The fields are views into the text: only those of installed packages are copied.
    std::string scratch;
    // Room for more stanzas than such a text can hold (each takes well over 256 bytes),
    // so the list is never moved while it grows; pages never written cost nothing.
    products_.reserve(size / 256 + 16);
    forEachDpkgStanza(std::string_view(text.get(), size), [&](const DpkgStanza& package) {
      if (!isInstalledStatus(package.status)) return;
      std::string date = installDate(infoDir.get(), package, scratch);
      std::string code;
      code.reserve(package.package.size() + 1 + package.architecture.size());
      code.append(package.package).append(":").append(package.architecture);  // as productCodeOf
      // dpkg records no install location; it stays empty like an MSI that sets none.
      products_.push_back(InstalledProduct{std::move(code), std::string(package.package),
                                           std::string(package.version), std::move(date), {}});
    });
    return true;
  }

  std::string adminDir_;
  std::vector<InstalledProduct> products_;
};

}  // namespace

std::unique_ptr<ProductInventory> makeDpkgInventory(std::string adminDir) {
  return std::make_unique<DpkgInventory>(std::move(adminDir));
}

std::unique_ptr<ProductInventory> makeInventory() { return makeDpkgInventory("/var/lib/dpkg"); }

}  // namespace orvask
