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
  // What a lookup reaching mount `id` (with device major:minor) classifies as.
  unsigned classify(const std::string& point, std::uint64_t id, unsigned major = 0, unsigned minor = 0) {
    return classifyMount(kMounts, point, ReachedMount{id, major, minor}, dir.path().string());
  }

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
  const struct {
    const char* point;
    std::uint64_t reached;
    unsigned type;
  } cases[] = {
      {"/", 28, kDriveFixed},
      {"/media/v", 41, kDriveRemovable},  // the mount the lookup reaches decides
      {"/media/v", 40, kDriveRamdisk},
      {"/media/v/", 41, kDriveRemovable},
      {"/mnt/nfs", 42, kDriveRemote},
      {"/mnt/sshfs", 43, kDriveRemote},
      {"/mnt/smb", 51, kDriveRemote},
      {"/mnt/ram", 44, kDriveRamdisk},
      {"/mnt/t", 53, kDriveRamdisk},
      {"/mnt/t", 52, kDriveFixed},
      {"/mnt/cd", 45, kDriveCdrom},
      {"/mnt/btr", 46, kDriveFixed},
      {"/mnt/over", 47, kDriveUnknown},
      {"/mnt/my disk", 48, kDriveFixed},  // whole disk, attribute in its own directory
      {"/mnt/bound", 49, kDriveFixed},    // a bind mount of a directory
      {"/mnt/gone", 50, kDriveUnknown},   // device unknown to sysfs
      // a plain directory: the lookup lands on the mount of a parent
      {"/media", 28, kDriveNoRootDir},
      {"/media/v/sub", 41, kDriveNoRootDir},
      {"/mnt/my", 28, kDriveNoRootDir},
      {"/mnt/nfs", 99, kDriveNoRootDir},  // a mount the text does not hold
  };
  for (const auto& c : cases) EXPECT_EQ(classify(c.point, c.reached), c.type) << c.point << " " << c.reached;
}

// A file system mounted over /media after /media/v: the old line for /media/v is still
// in mountinfo, but a lookup of the path does not reach it.
TEST_F(Mountinfo, HiddenMountIsNoRootDirectory) {
  const std::string hidden = std::string(kMounts) + "60 28 0:70 / /media rw - ext4 /dev/sda1 rw\n";
  const std::string sysfs = dir.path().string();
  EXPECT_EQ(classifyMount(hidden, "/media/v", std::nullopt, sysfs), kDriveNoRootDir);  // no such path
  EXPECT_EQ(classifyMount(hidden, "/media/v", ReachedMount{60, 0, 70}, sysfs), kDriveNoRootDir);  // a directory of /media
  EXPECT_EQ(classifyMount(hidden, "/media", ReachedMount{60, 0, 70}, sysfs), kDriveUnknown);
}

// Without a mount ID (kernels before 5.8) the device reached picks the line at the path.
TEST_F(Mountinfo, DeviceNumberWithoutMountId) {
  const std::string sysfs = dir.path().string();
  EXPECT_EQ(classifyMount(kMounts, "/media/v", ReachedMount{std::nullopt, 8, 17}, sysfs), kDriveRemovable);
  EXPECT_EQ(classifyMount(kMounts, "/media/v", ReachedMount{std::nullopt, 0, 50}, sysfs), kDriveRamdisk);
  EXPECT_EQ(classifyMount(kMounts, "/mnt/t", ReachedMount{std::nullopt, 8, 1}, sysfs), kDriveFixed);
  EXPECT_EQ(classifyMount(kMounts, "/media/v", ReachedMount{std::nullopt, 8, 1}, sysfs), kDriveNoRootDir);
}

TEST_F(Mountinfo, MalformedLinesAreSkipped) {
  const char* text = "garbage\n1 2 3\n60 28 8:1 / /x rw\n61 28 zz / /y rw - ext4 d rw\n";
  const std::string sysfs = dir.path().string();
  EXPECT_EQ(classifyMount(text, "/x", ReachedMount{60, 8, 1}, sysfs), kDriveNoRootDir);
  EXPECT_EQ(classifyMount(text, "/y", ReachedMount{61, 0, 0}, sysfs), kDriveUnknown);
  EXPECT_EQ(classifyMount("", "/", ReachedMount{1, 8, 1}, sysfs), kDriveNoRootDir);
}

}  // namespace
}  // namespace orvask
