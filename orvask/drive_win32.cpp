#include <windows.h>

#include "orvask/drive.h"

namespace orvask {

namespace {

class LetterDriveProbe final : public DriveProbe {
 public:
  unsigned protectedDriveType() override { return GetDriveTypeA("V:\\"); }
};

}  // namespace

std::unique_ptr<DriveProbe> makeDriveProbe() { return std::make_unique<LetterDriveProbe>(); }

}  // namespace orvask
