#pragma once
// Classifying a Linux mount point the way GetDriveTypeA classifies a drive root.
#include <string>
#include <string_view>

namespace orvask {

// Type (DriveType numbering) of what is mounted at `mountPoint`, from the text of
// /proc/self/mountinfo and the sysfs tree under `sysfsRoot` (normally "/sys"):
// network file systems are remote, tmpfs/ramfs a RAM disk, a block device removable
// (or a CD-ROM) when sysfs says so and fixed otherwise; not a mount point: no root dir.
[[nodiscard]] unsigned classifyMount(std::string_view mountinfo, const std::string& mountPoint,
                                     const std::string& sysfsRoot);

}  // namespace orvask
