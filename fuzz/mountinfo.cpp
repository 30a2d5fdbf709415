// The mountinfo parser with the classification of the protected drive, on a small sysfs
// tree: any mountinfo text, and well-formed lines the harness builds from the input
// (mount points escaped or not, optional fields, the listed file system types, device
// numbers of the tree and unknown ones).
// Oracle: no crash, a drive type of the documented set, and on built lines the type the
// documented table gives for the mount the lookup reached: the line of its mount ID, or
// without an ID the last line at the mount point with its device; no root directory
// when that mount is elsewhere or the path was not reached.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/testing/temp_dir.h"
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
  tarvo::testing::TempDir dir{"mountinfo-fuzz"};
  fs::path root = dir.path();
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

// The classification the table gives for one line's file system on its device.
unsigned classifyLine(const Device& device, const FileSystem& fileSystem) {
  if (fileSystem.verdict != kByDevice) return fileSystem.verdict;
  if (std::string(device.number).rfind("0:", 0) == 0) {
    return std::string(fileSystem.type) == "btrfs" ? orvask::kDriveFixed : orvask::kDriveUnknown;
  }
  return device.type;
}

orvask::ReachedMount reachedDevice(const char* number) {
  orvask::ReachedMount reached;
  const std::string text = number;
  reached.major = static_cast<unsigned>(std::stoul(text.substr(0, text.find(':'))));
  reached.minor = static_cast<unsigned>(std::stoul(text.substr(text.find(':') + 1)));
  return reached;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::string sysfs = tree().root.string();
  const std::uint8_t mode = input.byte();
  if ((mode & 1) == 0) {
    // Any text, and what the lookup reached from the input: nothing, a mount ID, or a
    // device number.
    std::optional<orvask::ReachedMount> reached;
    if (mode & 2) {
      reached.emplace();
      if (mode & 4) reached->mountId = input.u32() % 64;
      reached->major = input.byte();
      reached->minor = input.byte();
    }
    const unsigned type = orvask::classifyMount(input.rest(), kMountPoint, reached, sysfs);
    FUZZ_CHECK(type <= orvask::kDriveRamdisk, "type %u", type);
    return 0;
  }

  static const char* const kPoints[] = {"/media/v", "/media/w", "/media/v/x", "/media\\040v", "/",
                                        "/media/v\\040"};
  struct Line {
    int id;
    const Device* device;
    const FileSystem* fileSystem;
    const char* point;
  };
  std::vector<Line> lines;
  std::string text;
  const std::uint8_t reachedChoice = input.byte();
  for (int id = 20; !input.empty(); ++id) {
    const std::uint8_t shape = input.byte();
    const std::uint8_t choice = input.byte();
    const Line line{id, &kDevices[choice % std::size(kDevices)],
                    &kFileSystems[(choice >> 3) % std::size(kFileSystems)],
                    kPoints[shape % std::size(kPoints)]};
    std::string optional;
    for (int n = (shape >> 3) % 3; n > 0; --n) optional += " shared:" + std::to_string(n);
    text += std::to_string(line.id) + " 1 " + line.device->number + " / " + line.point +
            " rw,relatime" + optional + " - " + line.fileSystem->type + " /dev/x rw\n";
    lines.push_back(line);
  }

  // What the lookup reached: nothing, the mount of one line (by ID, or by its device
  // number alone when the kernel gives no ID), or an ID no line has.
  std::optional<orvask::ReachedMount> reached;
  unsigned expected = orvask::kDriveNoRootDir;
  const std::size_t pick = lines.empty() ? 0 : (reachedChoice >> 2) % lines.size();
  switch (reachedChoice & 3) {
    case 0: break;
    case 1:
      if (lines.empty()) break;
      reached = reachedDevice(lines[pick].device->number);
      reached->mountId = static_cast<std::uint64_t>(lines[pick].id);
      if (std::string(lines[pick].point) == kMountPoint) {
        expected = classifyLine(*lines[pick].device, *lines[pick].fileSystem);
      }
      break;
    case 2:
      if (lines.empty()) break;
      reached = reachedDevice(lines[pick].device->number);
      for (const Line& line : lines) {
        if (line.device == lines[pick].device && std::string(line.point) == kMountPoint) {
          expected = classifyLine(*line.device, *line.fileSystem);
        }
      }
      break;
    case 3:
      reached = reachedDevice("8:0");
      reached->mountId = 7;  // no line has it
      break;
  }
  const unsigned type = orvask::classifyMount(text, kMountPoint, reached, sysfs);
  FUZZ_CHECK(type == expected, "type %u, expected %u for\n%s", type, expected, text.c_str());
  return 0;
}
