#pragma once
// Classifying a Linux mount point the way GetDriveTypeA classifies a drive root.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvask {

// The mount a lookup of a path lands on: its mount ID when the kernel reports one
// (statx STATX_MNT_ID), and the device number of the file system reached.
struct ReachedMount {
  std::optional<std::uint64_t> mountId;
  unsigned major = 0;
  unsigned minor = 0;
};

// Type (DriveType numbering) of the drive at `mountPoint`, from the text of
// /proc/self/mountinfo, what a lookup of the path reached (nullopt: the path does not
// exist for a lookup), and the sysfs tree under `sysfsRoot` (normally "/sys"). The
// mount is the mountinfo line of the reached mount (by mount ID, else the last line at
// that path with the reached device); when it is not mounted at `mountPoint` itself
// (the path is a plain directory, or hidden by a mount over a parent) there is no root
// directory. Network file systems are remote, tmpfs/ramfs a RAM disk, a block device
// removable (or a CD-ROM) when sysfs says so and fixed otherwise.
[[nodiscard]] unsigned classifyMount(std::string_view mountinfo, const std::string& mountPoint,
                                     const std::optional<ReachedMount>& reached, const std::string& sysfsRoot);

}  // namespace orvask
