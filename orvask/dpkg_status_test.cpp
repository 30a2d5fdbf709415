#include "orvask/dpkg_status.h"

#include <gtest/gtest.h>

namespace orvask {
namespace {

TEST(DpkgStatus, ParsesStanzasAndInstalledState) {
  const std::string text =
      "Package: libc6\nStatus: install ok installed\nPriority: optional\nArchitecture: amd64\n"
      "Multi-Arch: same\nVersion: 2.36-9\nDescription: GNU C Library\n Contains the standard libraries.\n .\n"
      " Version: not a field\n\n"
      "Package: libc6\nStatus: install ok installed\nArchitecture: i386\nVersion: 2.36-9\n\n\n"
      "Package: oldpkg\nStatus: deinstall ok config-files\nArchitecture: amd64\nVersion: 1\n\n"
      "Package: held\nStatus: hold ok installed\nArchitecture: all\nVersion: 3\n\n"
      "Package: half\nStatus: install reinstreq half-installed\nArchitecture: amd64\nVersion: 4\n\n"
      "Package: unpacked\r\nStatus: install ok unpacked\r\nArchitecture: amd64\r\nVersion: 5\r\n\r\n"
      "Status: install ok installed\nVersion: 6\n";  // no Package: not a package
  const auto packages = parseDpkgStatus(text);
  ASSERT_EQ(packages.size(), 6u);
  std::vector<std::string> installed;
  for (const auto& p : packages)
    if (isInstalled(p)) installed.push_back(productCodeOf(p) + " " + p.version);
  EXPECT_EQ(installed, (std::vector<std::string>{"libc6:amd64 2.36-9", "libc6:i386 2.36-9", "held:all 3"}));
  EXPECT_EQ(packages[5].package, "unpacked");
  EXPECT_EQ(packages[5].version, "5");
}

TEST(DpkgStatus, EmptyInput) { EXPECT_TRUE(parseDpkgStatus("").empty()); }

}  // namespace
}  // namespace orvask
