#pragma once
// Reading the dpkg status database (/var/lib/dpkg/status): one entry per stanza.
#include <string>
#include <string_view>
#include <vector>

namespace orvask {

struct DpkgPackage {
  std::string package;
  std::string architecture;
  std::string version;
  std::string status;  // "want flag state", e.g. "install ok installed"
};

// Parses the stanzas of a status file; continuation lines are skipped.
[[nodiscard]] std::vector<DpkgPackage> parseDpkgStatus(std::string_view text);

// True when the package's files are on the machine: its state word is "installed"
// ("install ok installed", also held or selected for removal but not yet removed).
[[nodiscard]] bool isInstalled(const DpkgPackage& package);

// The product code of a package: "name:architecture", unique per installed instance.
[[nodiscard]] std::string productCodeOf(const DpkgPackage& package);

}  // namespace orvask
