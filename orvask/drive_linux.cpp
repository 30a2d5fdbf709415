#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "orvask/drive.h"
#include "orvask/mountinfo.h"

#ifndef ORVASK_DRIVE_MOUNT_POINT
#error "ORVASK_DRIVE_MOUNT_POINT is set by CMake"
#endif

namespace orvask {

namespace {

// What a lookup of `path` reaches (statx); nullopt when the path does not exist for a
// lookup. No automount is triggered and a network file system's attributes are taken
// as cached, so an unreachable server cannot stall the check.
std::optional<ReachedMount> reach(const char* path) {
  struct statx info {};
  if (statx(AT_FDCWD, path, AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MNT_ID, &info) != 0)
    return std::nullopt;
  ReachedMount reached;
  if ((info.stx_mask & STATX_MNT_ID) != 0) reached.mountId = info.stx_mnt_id;  // Linux 5.8 and later
  reached.major = info.stx_dev_major;
  reached.minor = info.stx_dev_minor;
  return reached;
}

class MountDriveProbe final : public DriveProbe {
 public:
  unsigned protectedDriveType() override {
    const std::optional<ReachedMount> reached = reach(ORVASK_DRIVE_MOUNT_POINT);
    std::ifstream file("/proc/self/mountinfo");
    if (!file) return kDriveUnknown;
    std::ostringstream text;
    text << file.rdbuf();
    return classifyMount(text.str(), ORVASK_DRIVE_MOUNT_POINT, reached, "/sys");
  }
};

}  // namespace

std::unique_ptr<DriveProbe> makeDriveProbe() { return std::make_unique<MountDriveProbe>(); }

}  // namespace orvask
