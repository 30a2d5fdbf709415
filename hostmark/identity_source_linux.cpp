// Identity values on Linux, from files every local user can read, so that root and
// other users get the same identifier:
// - fixed disks: /sys/block entries backed by a device (not loop, zram, ram, dm, md,
//   nbd), not removable, not hidden, in byte order of their names; the serial number is
//   the "serial" attribute, else device/serial (NVMe, MMC), else the unit serial number
//   page device/vpd_pg80 (SCSI, SATA), cut at its first zero byte; a file that is not
//   world-readable is not used;
// - firmware: nothing (the DMI serial files are readable by root alone);
// - machine identifier: the first line of /etc/machine-id (missing: 2, like a missing
//   MachineGuid on Windows).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "common/unique_handle.h"
#include "hostmark/identity_source_linux.h"

namespace hostmark {
namespace {

namespace fs = std::filesystem;

// ERROR_MORE_DATA's counterpart: the machine identifier does not fit its 1000-byte buffer.
constexpr Status kValueTooLong = EOVERFLOW;
constexpr std::size_t kValueBufferSize = 1000;

using FileDescriptor = tarvo::UniqueHandle<int, -1, ::close>;

// Reads a file of at most limit bytes (open, read); status is errno on failure, and
// kValueTooLong when the file holds more, unless only its first limit bytes are wanted.
Status readFile(const fs::path& path, std::size_t limit, std::string& content,
                bool prefixOnly = false) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return static_cast<Status>(errno);
  std::string data(limit + 1, '\0');
  std::size_t used = 0;
  while (used < data.size()) {
    const ssize_t n = ::read(file.get(), data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return static_cast<Status>(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > limit) {
    if (!prefixOnly) return kValueTooLong;
    used = limit;
  }
  data.resize(used);
  content = std::move(data);
  return kSuccess;
}

bool worldReadable(const fs::path& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IROTH);
}

// A sysfs text attribute without its line end; nullopt when absent or not world-readable.
IdentityValue readAttribute(const fs::path& path) {
  if (!worldReadable(path)) return std::nullopt;
  std::string text;
  if (readFile(path, 4096, text) != kSuccess) return std::nullopt;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The serial number in a SCSI unit serial number page (0x80): bytes 4.. of the length
// in bytes 2 and 3.
IdentityValue readUnitSerialPage(const fs::path& path) {
  if (!worldReadable(path)) return std::nullopt;
  std::string page;
  if (readFile(path, 4096, page) != kSuccess || page.size() < 4 ||
      static_cast<unsigned char>(page[1]) != 0x80) {
    return std::nullopt;
  }
  const std::size_t length =
      (static_cast<std::size_t>(static_cast<unsigned char>(page[2])) << 8) |
      static_cast<unsigned char>(page[3]);
  return page.substr(4, std::min(length, page.size() - 4));
}

bool isVirtualDeviceName(std::string_view name) {
  static constexpr std::array<std::string_view, 6> kPrefixes = {"loop", "ram", "zram",
                                                                "dm-",  "md",  "nbd"};
  return std::any_of(kPrefixes.begin(), kPrefixes.end(),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

bool isFixedDisk(const fs::path& device) {
  std::error_code ec;
  if (isVirtualDeviceName(device.filename().native()) || !fs::exists(device / "device", ec)) {
    return false;
  }
  const IdentityValue removable = readAttribute(device / "removable");
  const IdentityValue hidden = readAttribute(device / "hidden");
  return removable == "0" && hidden != "1";
}

// A disk's serial number, cut at its first zero byte: some SCSI and SATA devices pad
// the unit serial number page with zeros, and a zero inside the identity text would end
// the hashed bytes there, so later disks and the machine identifier would not count.
IdentityValue diskSerial(const fs::path& device) {
  IdentityValue serial = readAttribute(device / "serial");
  if (!serial) serial = readAttribute(device / "device" / "serial");
  if (!serial) serial = readUnitSerialPage(device / "device" / "vpd_pg80");
  if (serial) serial->resize(std::min(serial->size(), serial->find('\0')));
  return serial;
}

class LinuxIdentitySource final : public IdentitySource {
 public:
  explicit LinuxIdentitySource(LinuxSourcePaths paths) : paths_(std::move(paths)) {}

  // Nothing to connect to; the switch only matters to WMI.
  Status open(bool) override { return kSuccess; }

  // Directory listing of /sys/block, sorted by name.
  Status diskSerials(std::vector<IdentityValue>& values) override {
    std::error_code ec;
    std::vector<fs::path> devices;
    for (fs::directory_iterator it(paths_.blockDevices, ec), end; !ec && it != end;
         it.increment(ec)) {
      devices.push_back(it->path());
    }
    if (ec) return static_cast<Status>(ec.value());
    std::sort(devices.begin(), devices.end());
    for (const fs::path& device : devices) {
      if (isFixedDisk(device)) values.push_back(diskSerial(device));
    }
    return kSuccess;
  }

  Status firmwareSerials(std::vector<IdentityValue>&) override { return kSuccess; }

  // The first line of the machine-id file, at most 999 characters as on Windows; a
  // missing file gives ENOENT, which is 2.
  Status machineIdentifier(std::string& value) override {
    std::string content;
    if (const Status s = readFile(paths_.machineId, kValueBufferSize, content, true);
        s != kSuccess) {
      return s;
    }
    std::string line = content.substr(0, content.find('\n'));
    if (line.size() >= kValueBufferSize) return kValueTooLong;
    value = std::move(line);
    return kSuccess;
  }

  void close() noexcept override {}

 private:
  LinuxSourcePaths paths_;
};

}  // namespace

std::unique_ptr<IdentitySource> createLinuxIdentitySource(LinuxSourcePaths paths) {
  return std::make_unique<LinuxIdentitySource>(std::move(paths));
}

std::unique_ptr<IdentitySource> createIdentitySource() {
  return createLinuxIdentitySource(LinuxSourcePaths{});
}

}  // namespace hostmark
