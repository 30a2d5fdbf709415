#include <fstream>
#include <sstream>

#include "orvask/drive.h"
#include "orvask/mountinfo.h"

#ifndef ORVASK_DRIVE_MOUNT_POINT
#error "ORVASK_DRIVE_MOUNT_POINT is set by CMake"
#endif

namespace orvask {

namespace {

class MountDriveProbe final : public DriveProbe {
 public:
  unsigned protectedDriveType() override {
    std::ifstream file("/proc/self/mountinfo");
    if (!file) return kDriveUnknown;
    std::ostringstream text;
    text << file.rdbuf();
    return classifyMount(text.str(), ORVASK_DRIVE_MOUNT_POINT, "/sys");
  }
};

}  // namespace

std::unique_ptr<DriveProbe> makeDriveProbe() { return std::make_unique<MountDriveProbe>(); }

}  // namespace orvask
