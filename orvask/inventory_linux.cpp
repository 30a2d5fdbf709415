#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

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

// The journal's files in the order dpkg applies them: names of digits only, by their
// number.
std::vector<std::string> journalFiles(const std::string& updatesDir) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(updatesDir.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      names.emplace_back(name);
  }
  ::closedir(dir);
  // By value: without leading zeros, a shorter number is the smaller one.
  const auto value = [](const std::string& name) {
    return std::string_view(name).substr(std::min(name.find_first_not_of('0'), name.size()));
  };
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const std::string_view x = value(a), y = value(b);
    if (x.size() != y.size()) return x.size() < y.size();
    return x != y ? x < y : a < b;
  });
  return names;
}

// The database as dpkg reads it, at the start of each enumeration (index 0): the status
// file, then each journal file of updates/ in order. A later stanza of a package and
// architecture replaces the earlier one wherever it stands (installed, then purged: not
// installed). The fields are views into the texts, which live as long as the list.
class DpkgInventory final : public ProductInventory {
 public:
  explicit DpkgInventory(std::string adminDir) : adminDir_(std::move(adminDir)) {}

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    if (index == 0 && !load()) return kStatusUnreadable;
    if (!loaded_) return kStatusUnreadable;
    if (index >= installed_.size()) return kInventoryNoMoreItems;
    const DpkgStanza& package = installed_[index];
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
    loaded_ = false;
    texts_.clear();
    installed_.clear();
    if (!readText(adminDir_ + "/status")) return false;
    // A journal file that vanished between the listing and the read was folded into
    // the status file by dpkg in the meantime; the rest still apply.
    for (const std::string& name : journalFiles(adminDir_ + "/updates")) (void)readText(adminDir_ + "/updates/" + name);
    std::vector<DpkgStanza> stanzas;
    std::map<std::string_view, std::vector<std::size_t>> instances;  // of each package name
    for (std::size_t file = 0; file < texts_.size(); ++file) {
      const Text& text = texts_[file];
      forEachDpkgStanza(std::string_view(text.data.get(), text.size), [&](const DpkgStanza& stanza) {
        std::vector<std::size_t>& slots = instances[stanza.package];
        const std::size_t slot = file == 0 ? slotByArchitecture(stanzas, slots, stanza) : journalSlot(stanzas, slots, stanza);
        if (slot == stanzas.size()) {
          slots.push_back(slot);
          stanzas.push_back(stanza);
        } else {
          stanzas[slot] = stanza;
        }
      });
    }
    for (const DpkgStanza& stanza : stanzas)
      if (isInstalledStatus(stanza.status)) installed_.push_back(stanza);
    infoDir_.reset(::open((adminDir_ + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    loaded_ = true;
    return true;
  }
  // The instance of the package with the stanza's architecture (stanzas.size() for a
  // new one): how the status file's stanzas are placed.
  static std::size_t slotByArchitecture(const std::vector<DpkgStanza>& stanzas, const std::vector<std::size_t>& slots,
                                        const DpkgStanza& stanza) {
    for (const std::size_t slot : slots)
      if (stanzas[slot].architecture == stanza.architecture) return slot;
    return stanzas.size();
  }
  // How a journal stanza is placed: a package with one instance that is not
  // "not-installed" has that instance replaced, whatever the architecture (a
  // cross-grade), unless both it and the stanza are "Multi-Arch: same"; otherwise the
  // instance of the stanza's architecture is.
  static std::size_t journalSlot(std::vector<DpkgStanza>& stanzas, std::vector<std::size_t>& slots,
                                 const DpkgStanza& stanza) {
    std::size_t present = 0, only = 0;
    for (const std::size_t slot : slots) {
      if (isNotInstalledStatus(stanzas[slot].status)) continue;
      ++present;
      only = slot;
    }
    if (present != 1 || (stanzas[only].multiArch == "same" && stanza.multiArch == "same"))
      return slotByArchitecture(stanzas, slots, stanza);
    // Other instances of the new architecture are not installed; the replaced one stands
    // for the architecture from now on.
    std::erase_if(slots, [&](std::size_t slot) {
      const bool stale = slot != only && stanzas[slot].architecture == stanza.architecture;
      if (stale) stanzas[slot].status = {};
      return stale;
    });
    return only;
  }
  bool readText(const std::string& path) {
    Text text;
    if (!readWhole(path, text.data, text.size)) return false;
    texts_.push_back(std::move(text));
    return true;
  }

  struct Text {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };
  std::string adminDir_;
  std::vector<Text> texts_;  // the status file and the journal files, in order
  std::vector<DpkgStanza> installed_;  // views into texts_
  bool loaded_ = false;
  FileDescriptor infoDir_;
  std::string scratch_;  // file-list names, built in storage reused from product to product
};

}  // namespace

std::unique_ptr<ProductInventory> makeDpkgInventory(std::string adminDir) {
  return std::make_unique<DpkgInventory>(std::move(adminDir));
}

std::unique_ptr<ProductInventory> makeInventory() { return makeDpkgInventory("/var/lib/dpkg"); }

}  // namespace orvask
