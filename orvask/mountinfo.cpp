#include "orvask/mountinfo.h"

#include <array>
#include <fstream>
#include <vector>

#include "orvask/drive.h"

namespace orvask {

namespace {

constexpr std::array<std::string_view, 16> kRemoteTypes{
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "9p", "glusterfs", "lustre",
    "fuse.sshfs", "fuse.glusterfs", "fuse.rclone", "fuse.cephfs", "davfs"};
// Local disk file systems that report an anonymous device number (major 0).
constexpr std::array<std::string_view, 3> kAnonymousDiskTypes{"btrfs", "zfs", "bcachefs"};
constexpr unsigned kScsiCdromMajor = 11;

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view value) {
  for (std::string_view item : list)
    if (item == value) return true;
  return false;
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (digits[0] >= '0' && digits[0] <= '3' && digits[1] >= '0' && digits[1] <= '7' &&
          digits[2] >= '0' && digits[2] <= '7') {
        out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> splitSpaces(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t end = line.find(' ', pos);
    const std::size_t stop = end == std::string_view::npos ? line.size() : end;
    if (stop > pos) fields.push_back(line.substr(pos, stop - pos));
    pos = stop + 1;
  }
  return fields;
}

std::string normalise(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// First character of a sysfs attribute file, or 0 when it cannot be read.
char readAttribute(const std::string& path) {
  std::ifstream file(path);
  char c = 0;
  if (!(file >> c)) return 0;
  return c;
}

unsigned classifyBlockDevice(const std::string& sysfsRoot, unsigned major, std::string_view device) {
  const std::string dir = sysfsRoot + "/dev/block/" + std::string(device);
  if (major == kScsiCdromMajor) return kDriveCdrom;
  // A partition has no "removable" attribute of its own; its disk (the parent) has.
  char removable = readAttribute(dir + "/removable");
  if (removable == 0) removable = readAttribute(dir + "/../removable");
  if (removable == 0) {
    std::ifstream probe(dir + "/dev");
    if (!probe) return kDriveUnknown;  // no such block device
  }
  return removable == '1' ? kDriveRemovable : kDriveFixed;
}

// A decimal number that fills the whole text; nullopt otherwise.
std::optional<std::uint64_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

}  // namespace

unsigned classifyMount(std::string_view mountinfo, const std::string& mountPoint,
                       const std::optional<ReachedMount>& reached, const std::string& sysfsRoot) {
  if (!reached) return kDriveNoRootDir;
  const std::string wanted = normalise(mountPoint);
  const std::string reachedDevice = std::to_string(reached->major) + ":" + std::to_string(reached->minor);
  std::string fsType;
  std::string device;
  bool found = false;
  while (!mountinfo.empty()) {
    const std::size_t end = mountinfo.find('\n');
    const std::string_view line = mountinfo.substr(0, end);
    mountinfo = end == std::string_view::npos ? std::string_view{} : mountinfo.substr(end + 1);
    const std::vector<std::string_view> fields = splitSpaces(line);
    if (fields.size() < 7) continue;
    // The reached mount itself: by its ID, or (no ID) the last line with its device.
    if (reached->mountId ? decimal(fields[0]) != reached->mountId : fields[2] != reachedDevice) continue;
    if (unescape(fields[4]) != wanted) {
      // The lookup landed on a mount elsewhere: the path is no mount point of its own.
      if (reached->mountId) return kDriveNoRootDir;
      continue;
    }
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 1 >= fields.size()) continue;
    fsType = std::string(fields[dash + 1]);
    device = std::string(fields[2]);
    found = true;
  }
  if (!found) return kDriveNoRootDir;
  if (contains(kRemoteTypes, fsType)) return kDriveRemote;
  if (fsType == "tmpfs" || fsType == "ramfs") return kDriveRamdisk;
  const std::size_t colon = device.find(':');
  if (colon == std::string::npos) return kDriveUnknown;
  unsigned major = 0;
  for (char c : std::string_view(device).substr(0, colon)) {
    if (c < '0' || c > '9') return kDriveUnknown;
    major = major * 10 + static_cast<unsigned>(c - '0');
  }
  if (major == 0) return contains(kAnonymousDiskTypes, fsType) ? kDriveFixed : kDriveUnknown;
  return classifyBlockDevice(sysfsRoot, major, device);
}

}  // namespace orvask
