// The Linux identity source with its file locations, so tests can point it at a
// fixture tree instead of the machine's own.
#pragma once

#include <filesystem>
#include <memory>

#include "hostmark/identity_source.h"

namespace hostmark {

struct LinuxSourcePaths {
  std::filesystem::path blockDevices = "/sys/block";
  std::filesystem::path machineId = "/etc/machine-id";
};

std::unique_ptr<IdentitySource> createLinuxIdentitySource(LinuxSourcePaths paths);

}  // namespace hostmark
