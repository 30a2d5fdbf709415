// The Linux source against a fixture sysfs tree and machine-id file in a temporary
// directory: which block devices count as fixed disks, where their serials come from,
// and the machine identifier's statuses.
#include "hostmark/identity_source_linux.h"

#include "hostmark/digest.h"
#include "hostmark/fingerprint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "common/testing/temp_dir.h"

namespace hostmark {
namespace {

namespace fs = std::filesystem;

class LinuxSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root_ / "block"); }

  void write(const fs::path& relative, const std::string& content, fs::perms mode =
                                                                       fs::perms::owner_read |
                                                                       fs::perms::group_read |
                                                                       fs::perms::others_read) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, mode);
  }
  // A block device entry: removable flag and, when backed, a device directory.
  void device(const std::string& name, bool backed, const std::string& removable = "0") {
    write("block/" + name + "/removable", removable + "\n");
    if (backed) fs::create_directories(root_ / "block" / name / "device");
  }
  std::unique_ptr<IdentitySource> source() {
    return createLinuxIdentitySource({root_ / "block", root_ / "machine-id"});
  }

  tarvo::testing::TempDir dir_{"hostmark"};
  fs::path root_ = dir_.path();
};

TEST_F(LinuxSourceTest, FixedDisksInNameOrder) {
  device("vda", true);
  write("block/vda/serial", "VIRT-1\n");
  device("nvme0n1", true);
  write("block/nvme0n1/device/serial", "S3EW NVMe   \n");  // padding is kept
  device("sda", true);
  write("block/sda/device/vpd_pg80", std::string("\x00\x80\x00\x08WD-12345", 12));
  device("sdc", true);  // no serial anywhere: contributes nothing
  device("sdd", true);
  write("block/sdd/serial", "ROOT-ONLY\n", fs::perms::owner_read);  // not for every user
  // Not fixed disks: removable, no backing device, virtual by name, hidden path.
  device("sdb", true, "1");
  write("block/sdb/serial", "USB\n");
  device("loop0", false);
  device("zram0", true);
  write("block/zram0/serial", "Z\n");
  device("nvme0c0n1", true);
  write("block/nvme0c0n1/hidden", "1\n");
  write("block/nvme0c0n1/device/serial", "HIDDEN\n");

  const auto src = source();
  std::vector<IdentityValue> disks;
  ASSERT_EQ(src->diskSerials(disks), kSuccess);
  const std::vector<IdentityValue> expected = {"S3EW NVMe   ", "WD-12345", std::nullopt,
                                               std::nullopt, "VIRT-1"};
  EXPECT_EQ(disks, expected);

  // The firmware serial number is root-only on Linux and contributes nothing.
  std::vector<IdentityValue> firmware;
  ASSERT_EQ(src->firmwareSerials(firmware), kSuccess);
  EXPECT_TRUE(firmware.empty());
}

// Unit serial number pages padded with zero bytes: each serial is cut at its first zero,
// so the later disk and the machine identifier still count (cloned machines that share
// a disk serial get different identifiers).
TEST_F(LinuxSourceTest, ZeroPaddedSerialsKeepLaterValues) {
  device("sda", true);
  write("block/sda/device/vpd_pg80", std::string("\x00\x80\x00\x0c" "CLONED\0\0\0\0\0\0", 16));
  device("sdb", true);
  write("block/sdb/device/vpd_pg80", std::string("\x00\x80\x00\x08\0\0\0\0\0\0\0\0", 12));
  device("vda", true);
  write("block/vda/serial", std::string("V1\0junk\n", 8));
  write("machine-id", "0123456789abcdef0123456789abcdef\n");

  std::vector<IdentityValue> disks;
  ASSERT_EQ(source()->diskSerials(disks), kSuccess);
  EXPECT_EQ(disks, (std::vector<IdentityValue>{"CLONED", "", "V1"}));

  const auto digest = createDigest();
  std::string identifier;
  ASSERT_EQ(computeIdentifier(*source(), *digest, false, identifier), kSuccess);
  Sha1Value expected{};
  ASSERT_EQ(digest->sha1("CLONEDV10123456789abcdef0123456789abcdef", expected), kSuccess);
  EXPECT_EQ(identifier, formatIdentifier(expected));
  write("machine-id", "fedcba9876543210fedcba9876543210\n");
  std::string clone;
  ASSERT_EQ(computeIdentifier(*source(), *digest, false, clone), kSuccess);
  EXPECT_NE(clone, identifier);
}

TEST_F(LinuxSourceTest, MachineIdentifier) {
  std::string value;
  EXPECT_EQ(source()->machineIdentifier(value), 2u);  // missing, like a missing MachineGuid

  write("machine-id", "0123456789abcdef0123456789abcdef\n");
  ASSERT_EQ(source()->machineIdentifier(value), kSuccess);
  EXPECT_EQ(value, "0123456789abcdef0123456789abcdef");

  // Only the first line counts; 999 characters fit the bounded buffer, 1000 do not.
  write("machine-id", "first\n" + std::string(3000, 's'));
  ASSERT_EQ(source()->machineIdentifier(value), kSuccess);
  EXPECT_EQ(value, "first");
  write("machine-id", std::string(999, 'm') + "\n");
  ASSERT_EQ(source()->machineIdentifier(value), kSuccess);
  EXPECT_EQ(value.size(), 999u);
  write("machine-id", std::string(1000, 'm') + "\n");
  EXPECT_EQ(source()->machineIdentifier(value), static_cast<Status>(EOVERFLOW));
  write("machine-id", std::string(5000, 'm'));
  EXPECT_EQ(source()->machineIdentifier(value), static_cast<Status>(EOVERFLOW));
}

TEST_F(LinuxSourceTest, MissingBlockDirectoryIsAnError) {
  fs::remove_all(root_ / "block");
  std::vector<IdentityValue> disks;
  EXPECT_EQ(source()->diskSerials(disks), static_cast<Status>(ENOENT));
}

}  // namespace
}  // namespace hostmark
