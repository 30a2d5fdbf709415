#include "orvask/mountinfo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "orvask/drive.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

// A small sysfs: sda (fixed) with partition sda1, sdb (removable) with sdb1, sr0.
class Mountinfo : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    const fs::path root = dir.path();
    for (const char* d : {"devices/sda/sda1", "devices/sdb/sdb1", "devices/sr0", "dev/block"})
      fs::create_directories(root / d);
    write("devices/sda/removable", "0\n");
    write("devices/sda/dev", "8:0\n");
    write("devices/sda/sda1/dev", "8:1\n");
    write("devices/sdb/removable", "1\n");
    write("devices/sdb/sdb1/dev", "8:17\n");
    write("devices/sr0/removable", "1\n");
    fs::create_directory_symlink("../../devices/sda/sda1", root / "dev/block/8:1");
    fs::create_directory_symlink("../../devices/sdb/sdb1", root / "dev/block/8:17");
    fs::create_directory_symlink("../../devices/sda", root / "dev/block/8:0");
    fs::create_directory_symlink("../../devices/sr0", root / "dev/block/11:0");
  }
  void write(const std::string& name, const std::string& text) { std::ofstream(dir.file(name)) << text; }
  unsigned classify(const std::string& point) { return classifyMount(kMounts, point, dir.path().string()); }

  testing::TempDir dir;
  static constexpr const char* kMounts =
      "28 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "40 28 0:50 / /media/v rw shared:5 - tmpfs tmpfs rw\n"
      "41 40 8:17 / /media/v rw - vfat /dev/sdb1 rw\n"  // mounted on top of the tmpfs
      "42 28 0:51 / /mnt/nfs rw - nfs4 server:/export rw\n"
      "43 28 0:52 / /mnt/sshfs rw - fuse.sshfs user@host: rw\n"
      "44 28 0:53 / /mnt/ram rw - ramfs ramfs rw\n"
      "45 28 11:0 / /mnt/cd ro - iso9660 /dev/sr0 ro\n"
      "46 28 0:54 / /mnt/btr rw - btrfs /dev/sda2 rw\n"
      "47 28 0:55 / /mnt/over rw - overlay overlay rw\n"
      "48 28 8:0 / /mnt/my\\040disk rw - ext4 /dev/sda rw\n"
      "49 28 8:1 /srv/data /mnt/bound rw - ext4 /dev/sda1 rw\n"
      "50 28 9:9 / /mnt/gone rw - ext4 /dev/md9 rw\n"
      "51 28 0:56 / /mnt/smb rw master:1 propagate_from:2 - cifs //srv/share rw\n"
      "52 28 8:1 / /mnt/t rw - ext4 /dev/sda1 rw\n"
      "53 28 0:57 / /mnt/t rw - tmpfs tmpfs rw\n";
};

TEST_F(Mountinfo, ClassifiesLikeDriveTypes) {
  const std::pair<const char*, unsigned> cases[] = {
      {"/", kDriveFixed},
      {"/media/v", kDriveRemovable},  // the top mount decides
      {"/media/v/", kDriveRemovable},
      {"/mnt/nfs", kDriveRemote},
      {"/mnt/sshfs", kDriveRemote},
      {"/mnt/smb", kDriveRemote},
      {"/mnt/ram", kDriveRamdisk},
      {"/mnt/t", kDriveRamdisk},
      {"/mnt/cd", kDriveCdrom},
      {"/mnt/btr", kDriveFixed},
      {"/mnt/over", kDriveUnknown},
      {"/mnt/my disk", kDriveFixed},  // whole disk, attribute in its own directory
      {"/mnt/bound", kDriveFixed},    // a bind mount of a directory
      {"/mnt/gone", kDriveUnknown},   // device unknown to sysfs
      {"/media", kDriveNoRootDir},
      {"/media/v/sub", kDriveNoRootDir},
      {"/mnt/my", kDriveNoRootDir},
  };
  for (const auto& [point, type] : cases) EXPECT_EQ(classify(point), type) << point;
}

TEST_F(Mountinfo, MalformedLinesAreSkipped) {
  const char* text = "garbage\n1 2 3\n60 28 8:1 / /x rw\n61 28 zz / /y rw - ext4 d rw\n";
  EXPECT_EQ(classifyMount(text, "/x", dir.path().string()), kDriveNoRootDir);
  EXPECT_EQ(classifyMount(text, "/y", dir.path().string()), kDriveUnknown);
  EXPECT_EQ(classifyMount("", "/", dir.path().string()), kDriveNoRootDir);
}

}  // namespace
}  // namespace orvask
