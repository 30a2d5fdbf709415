#pragma once
// A fake DriveProbe for the tests.
#include "orvask/drive.h"

namespace orvask::testing {

// Reports a chosen drive type (fixed by default) and counts the queries.
class FakeDrive final : public DriveProbe {
 public:
  unsigned type = kDriveFixed;
  int queries = 0;
  unsigned protectedDriveType() override {
    ++queries;
    return type;
  }
};

}  // namespace orvask::testing
