// The identity text of the identity library on Linux: serial files (sysfs "serial",
// device/serial and the SCSI unit serial number page) and a machine-id file of any
// content, on disks the input makes fixed, removable, hidden or virtual and files it
// makes readable by others or not, through the reading rules, the digest and the
// formatting of the C export's buffer contract.
// Oracle: on success the buffer holds 44 characters in the documented form followed by
// the caller's zero, equal to OpenSSL's SHA-1 of the text the documented rules give;
// on failure the rules' status and an untouched buffer.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/testing/temp_dir.h"
#include "hostmark/digest.h"
#include "hostmark/fingerprint.h"
#include "hostmark/identity_source_linux.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path& fixtureRoot() {
  static const tarvo::testing::TempDir fixture("hostmark-fuzz");
  return fixture.path();
}

void writeFile(const fs::path& path, const std::string& content, bool othersRead) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    FUZZ_CHECK(out.good());
  }
  FUZZ_CHECK(chmod(path.c_str(), othersRead ? 0644 : 0600) == 0);
}

// A sysfs text attribute by the documented rules: readable by others, at most 4096
// bytes, one line end removed.
std::optional<std::string> attribute(const std::optional<std::string>& file, bool readable) {
  if (!file || !readable || file->size() > 4096) return std::nullopt;
  std::string text = *file;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

struct Disk {
  std::string name;
  bool device = true;  // has a backing "device"
  std::string removable = "0\n";
  std::optional<std::string> hidden;
  std::optional<std::string> serial, deviceSerial, unitSerialPage;
  bool readable[3] = {true, true, true};
};

// The first serial the documented sources give, cut at its first zero byte.
std::optional<std::string> expectedSerial(const Disk& disk) {
  std::optional<std::string> serial = attribute(disk.serial, disk.readable[0]);
  if (!serial) serial = attribute(disk.deviceSerial, disk.readable[1]);
  const auto& page = disk.unitSerialPage;
  if (!serial && page && disk.readable[2] && page->size() <= 4096 && page->size() >= 4 &&
      static_cast<unsigned char>((*page)[1]) == 0x80) {
    const std::size_t length = static_cast<unsigned char>((*page)[2]) * 256u +
                               static_cast<unsigned char>((*page)[3]);
    serial = page->substr(4, length);
  }
  if (serial) serial = serial->substr(0, serial->find('\0'));
  return serial;
}

bool isFixed(const Disk& disk) {
  for (const char* prefix : {"loop", "ram", "zram", "dm-", "md", "nbd"}) {
    if (disk.name.rfind(prefix, 0) == 0) return false;
  }
  const auto hidden = attribute(disk.hidden, true);
  return disk.device && attribute(disk.removable, true) == "0" && hidden != "1";
}

std::string formatted(const std::string& text) {
  unsigned char digest[20];
  unsigned int size = 0;
  FUZZ_CHECK(EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr) == 1);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 20; ++i) {
    if (i > 0 && i % 4 == 0) out += '-';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const fs::path& root = fixtureRoot();
  std::error_code ec;
  fs::remove_all(root / "block", ec);
  fs::remove(root / "machine-id", ec);
  fs::create_directories(root / "block");

  static const char* const kNames[] = {"sda", "nvme0n1", "vda", "loop0", "sdb", "mmcblk0", "md0", "sr0"};
  std::vector<Disk> disks;
  for (std::uint8_t count = input.byte() % 4; count > 0; --count) {
    const std::uint8_t shape = input.byte();
    Disk disk;
    disk.name = kNames[shape & 7];
    if (fs::exists(root / "block" / disk.name)) continue;
    disk.device = (shape & 0x08) == 0;
    if (shape & 0x10) disk.removable = "1\n";
    if (shape & 0x20) disk.hidden = (shape & 0x40) ? "1\n" : "0\n";
    const std::uint8_t files = input.byte();
    const auto content = [&]() {
      const std::size_t length = input.byte() | (input.byte() & 0x1F) << 8;  // up to 8 KiB
      return input.take(length);
    };
    if (files & 1) disk.serial = content();
    if (files & 2) disk.deviceSerial = content();
    if (files & 4) disk.unitSerialPage = content();
    for (int k = 0; k < 3; ++k) disk.readable[k] = (files >> (3 + k) & 1) == 0;

    const fs::path dir = root / "block" / disk.name;
    fs::create_directories(dir);
    if (disk.device) fs::create_directories(dir / "device");
    writeFile(dir / "removable", disk.removable, true);
    if (disk.hidden) writeFile(dir / "hidden", *disk.hidden, true);
    if (disk.serial) writeFile(dir / "serial", *disk.serial, disk.readable[0]);
    if (disk.device && disk.deviceSerial) {
      writeFile(dir / "device" / "serial", *disk.deviceSerial, disk.readable[1]);
    }
    if (disk.device && disk.unitSerialPage) {
      writeFile(dir / "device" / "vpd_pg80", *disk.unitSerialPage, disk.readable[2]);
    }
    if (!disk.device) disk.deviceSerial.reset(), disk.unitSerialPage.reset();
    disks.push_back(std::move(disk));
  }
  const bool haveMachineId = (input.byte() & 1) == 0;
  const std::string machineId = input.rest();
  if (haveMachineId) writeFile(root / "machine-id", machineId, true);

  // The documented rules.
  std::sort(disks.begin(), disks.end(), [](const Disk& a, const Disk& b) { return a.name < b.name; });
  std::string text;
  for (const Disk& disk : disks) {
    if (!isFixed(disk)) continue;
    if (const auto serial = expectedSerial(disk)) text += *serial;
  }
  hostmark::Status expectedStatus = hostmark::kSuccess;
  if (!haveMachineId) {
    expectedStatus = ENOENT;
  } else {
    const std::string line = machineId.substr(0, machineId.find('\n'));
    if (line.size() >= 1000) expectedStatus = EOVERFLOW;
    text += line;
  }
  text = text.substr(0, text.find('\0'));  // the text is digested up to its first zero byte

  auto source = hostmark::createLinuxIdentitySource({root / "block", root / "machine-id"});
  auto digest = hostmark::createDigest();
  char buffer[45] = {};
  const hostmark::Status status = hostmark::retrieveIntoBuffer(*source, *digest, buffer, 0);
  FUZZ_CHECK(status == expectedStatus, "status %u, expected %u", status, expectedStatus);
  if (status != hostmark::kSuccess) {
    for (const char c : buffer) FUZZ_CHECK(c == 0, "buffer written on failure");
    return 0;
  }
  FUZZ_CHECK(buffer[44] == 0);
  const std::string identifier(buffer, 44);
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    const char c = identifier[i];
    if (i % 9 == 8) FUZZ_CHECK(c == '-', "%s", identifier.c_str());
    else FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), "%s", identifier.c_str());
  }
  FUZZ_CHECK(identifier == formatted(text), "%s for a text of %zu bytes", identifier.c_str(),
             text.size());
  return 0;
}
