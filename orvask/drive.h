#pragma once
// The type of the protected drive, in the numbering of GetDriveTypeA.
#include <memory>

namespace orvask {

enum DriveType : unsigned {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdrom = 5,
  kDriveRamdisk = 6,
};

class DriveProbe {
 public:
  virtual ~DriveProbe() = default;
  // Type of the protected drive. Windows: GetDriveTypeA("V:\\"); Linux: the mount at the
  // configured mount point, classified from /proc/self/mountinfo and sysfs.
  [[nodiscard]] virtual unsigned protectedDriveType() = 0;
};

[[nodiscard]] std::unique_ptr<DriveProbe> makeDriveProbe();

}  // namespace orvask
