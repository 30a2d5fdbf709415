#include "orvask/dpkg_status.h"

#include <gtest/gtest.h>

namespace orvask {
namespace {

TEST(DpkgStatus, ParsesStanzas) {
  const std::string text =
      "Package: libc6\nStatus: install ok installed\nPriority: optional\nArchitecture: amd64\n"
      "Multi-Arch: same\nVersion: 2.36-9\nDescription: GNU C Library\n Contains the standard libraries.\n .\n"
      " Version: not a field\n\n"
      "Package: libc6\nStatus: install ok installed\nArchitecture: i386\nVersion: 2.36-9\n\n\n"
      "Package: unpacked\r\nStatus: install ok unpacked\r\nArchitecture: amd64\r\nVersion: 5\r\n\r\n"
      "Status: install ok installed\nVersion: 6\n";  // no Package: not a package
  const auto packages = parseDpkgStatus(text);
  ASSERT_EQ(packages.size(), 3u);
  EXPECT_EQ(productCodeOf(packages[0]) + " " + packages[0].version, "libc6:amd64 2.36-9");
  EXPECT_EQ(productCodeOf(packages[1]), "libc6:i386");
  EXPECT_EQ(packages[2].package, "unpacked");
  EXPECT_EQ(packages[2].version, "5");
  EXPECT_EQ(packages[2].status, "install ok unpacked");
}

// Every state whose files may be on disk counts, transient ones included (apt leaves
// packages in them while it runs); only packages without files do not.
TEST(DpkgStatus, StatesThatCount) {
  const struct {
    const char* status;
    bool counts;
  } cases[] = {
      {"install ok installed", true},
      {"hold ok installed", true},
      {"deinstall ok installed", true},  // selected for removal, still present
      {"install ok triggers-pending", true},
      {"install ok triggers-awaited", true},
      {"install ok half-configured", true},
      {"install reinstreq half-configured", true},
      {"install ok unpacked", true},
      {"install reinstreq half-installed", true},
      {"deinstall reinstreq half-installed", true},
      {"deinstall ok config-files", false},
      {"purge ok not-installed", false},
      {"install ok not-installed", false},
      {"", false},
      {"install ok ", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isInstalled(DpkgPackage{"p", "amd64", "1", c.status}), c.counts) << c.status;
  }
}

TEST(DpkgStatus, EmptyInput) { EXPECT_TRUE(parseDpkgStatus("").empty()); }

}  // namespace
}  // namespace orvask
