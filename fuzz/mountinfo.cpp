// The mountinfo parser with the classification of the protected drive, on a small sysfs
// tree: any mountinfo text, and well-formed lines the harness builds from the input
// (mount points escaped or not, optional fields, the listed file system types, device
// numbers of the tree and unknown ones).
// Oracle: no crash, a drive type of the documented set, and on built lines the type the
// documented table gives for the last line at the mount point.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "orvask/drive.h"
#include "orvask/mountinfo.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMountPoint = "/media/v";

// A sysfs tree: sda (fixed, 8:0) with partition sda1 (8:1), sdb (removable, 8:16) with
// sdb1 (8:17), sr0 (11:0); partitions reach their disk's "removable" through "..".
struct SysfsTree {
  SysfsTree() {
    std::string pattern = (fs::temp_directory_path() / "mountinfo-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    root = pattern;
    const auto file = [](const fs::path& path, const std::string& text) {
      fs::create_directories(path.parent_path());
      std::ofstream(path) << text;
    };
    file(root / "devices/sda/removable", "0\n");
    file(root / "devices/sda/dev", "8:0\n");
    file(root / "devices/sda/sda1/dev", "8:1\n");
    file(root / "devices/sdb/removable", "1\n");
    file(root / "devices/sdb/dev", "8:16\n");
    file(root / "devices/sdb/sdb1/dev", "8:17\n");
    file(root / "devices/sr0/removable", "1\n");
    file(root / "devices/sr0/dev", "11:0\n");
    fs::create_directories(root / "dev/block");
    fs::create_directory_symlink("../../devices/sda", root / "dev/block/8:0");
    fs::create_directory_symlink("../../devices/sda/sda1", root / "dev/block/8:1");
    fs::create_directory_symlink("../../devices/sdb", root / "dev/block/8:16");
    fs::create_directory_symlink("../../devices/sdb/sdb1", root / "dev/block/8:17");
    fs::create_directory_symlink("../../devices/sr0", root / "dev/block/11:0");
  }
  ~SysfsTree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path root;
};

const SysfsTree& tree() {
  static SysfsTree instance;
  return instance;
}

struct Device {
  const char* number;
  unsigned type;  // what the table gives for a block file system on it
};
constexpr Device kDevices[] = {{"8:0", orvask::kDriveFixed},      {"8:1", orvask::kDriveFixed},
                               {"8:16", orvask::kDriveRemovable}, {"8:17", orvask::kDriveRemovable},
                               {"11:0", orvask::kDriveCdrom},     {"8:32", orvask::kDriveUnknown},
                               {"0:45", orvask::kDriveUnknown},   {"253:3", orvask::kDriveUnknown}};

struct FileSystem {
  const char* type;
  unsigned verdict;  // 99: decided by the device
};
constexpr unsigned kByDevice = 99;
constexpr FileSystem kFileSystems[] = {
    {"nfs4", orvask::kDriveRemote},  {"cifs", orvask::kDriveRemote},   {"fuse.sshfs", orvask::kDriveRemote},
    {"9p", orvask::kDriveRemote},    {"tmpfs", orvask::kDriveRamdisk}, {"ramfs", orvask::kDriveRamdisk},
    {"ext4", kByDevice},             {"vfat", kByDevice},              {"btrfs", kByDevice},
    {"iso9660", kByDevice},          {"overlay", kByDevice},           {"fuse.other", kByDevice}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::string sysfs = tree().root.string();
  const bool build = (input.byte() & 1) != 0;
  if (!build) {
    const unsigned type = orvask::classifyMount(input.rest(), kMountPoint, sysfs);
    FUZZ_CHECK(type <= orvask::kDriveRamdisk, "type %u", type);
    return 0;
  }
  static const char* const kPoints[] = {"/media/v", "/media/w", "/media/v/x", "/media\\040v", "/",
                                        "/media/v\\040"};
  std::string text;
  unsigned expected = orvask::kDriveNoRootDir;
  for (int id = 20; !input.empty(); ++id) {
    const std::uint8_t shape = input.byte();
    const std::uint8_t choice = input.byte();
    const Device& device = kDevices[choice % std::size(kDevices)];
    const FileSystem& fileSystem = kFileSystems[(choice >> 3) % std::size(kFileSystems)];
    const char* point = kPoints[shape % std::size(kPoints)];
    std::string optional;
    for (int n = (shape >> 3) % 3; n > 0; --n) optional += " shared:" + std::to_string(n);
    text += std::to_string(id) + " 1 " + device.number + " / " + point + " rw,relatime" + optional +
            " - " + fileSystem.type + " /dev/x rw\n";
    if (std::string(point) != kMountPoint) continue;
    if (fileSystem.verdict != kByDevice) {
      expected = fileSystem.verdict;
    } else if (std::string(device.number).rfind("0:", 0) == 0) {
      expected = std::string(fileSystem.type) == "btrfs" ? orvask::kDriveFixed : orvask::kDriveUnknown;
    } else {
      expected = device.type;
    }
  }
  const unsigned type = orvask::classifyMount(text, kMountPoint, sysfs);
  FUZZ_CHECK(type == expected, "type %u, expected %u for\n%s", type, expected, text.c_str());
  return 0;
}
