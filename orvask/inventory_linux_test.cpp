#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>

#include "orvask/inventory_linux.h"
#include "orvask/test_support.h"

namespace orvask {
namespace {

// The inventory lists exactly the package instances dpkg-query reports with their files
// on the machine (every state but not-installed and config-files).
TEST(DpkgInventory, MatchesDpkgQuery) {
  FILE* pipe = popen("dpkg-query -W -f='${db:Status-Status}\\t${Package}:${Architecture}\\t${Version}\\n'", "r");
  ASSERT_NE(pipe, nullptr);
  std::map<std::string, std::string> expected;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t a = text.find('\t'), b = text.find('\t', a + 1);
    ASSERT_NE(b, std::string::npos) << text;
    const std::string state = text.substr(0, a);
    if (state != "not-installed" && state != "config-files") expected[text.substr(a + 1, b - a - 1)] = text.substr(b + 1);
  }
  ASSERT_EQ(pclose(pipe), 0);
  ASSERT_FALSE(expected.empty());

  auto inventory = makeInventory();
  std::map<std::string, std::string> listed;
  const std::regex date("[0-9]{8}");
  std::uint32_t index = 0;
  InstalledProduct product;
  for (; inventory->productAt(index, product) == kInventorySuccess; ++index) {
    listed[product.productCode] = product.version;
    EXPECT_EQ(product.productCode.substr(0, product.productCode.find(':')), product.name);
    EXPECT_TRUE(std::regex_match(product.installDate, date)) << product.productCode << " " << product.installDate;
    EXPECT_EQ(product.installLocation, "");
  }
  EXPECT_EQ(inventory->productAt(index, product), kInventoryNoMoreItems);
  EXPECT_EQ(index, listed.size()) << "a product code was listed twice";
  EXPECT_EQ(listed, expected);
}

// A status file with a package in each state: those with files on disk are listed, in
// file order, dated by their file list (qualified name first, then the plain one).
TEST(DpkgInventory, ListsEveryStateWithFiles) {
  testing::TempDir admin;
  std::filesystem::create_directories(admin.path() / "info");
  std::ofstream(admin.file("status"), std::ios::binary)
      << "Package: man-db\nStatus: install ok triggers-pending\nArchitecture: amd64\nVersion: 2.11\n\n"
         "Package: libc-bin\nStatus: install ok half-configured\nArchitecture: amd64\nVersion: 2.36\n\n"
         "Package: half\nStatus: install reinstreq half-installed\nArchitecture: all\nVersion: 1\n\n"
         "Package: await\nStatus: install ok triggers-awaited\nArchitecture: amd64\nVersion: 1\n\n"
         "Package: unpacked\nStatus: install ok unpacked\nArchitecture: amd64\nVersion: 1\n\n"
         "Package: bash\nStatus: install ok installed\nArchitecture: amd64\nVersion: 5.2\n\n"
         "Package: removed\nStatus: deinstall ok config-files\nArchitecture: amd64\nVersion: 1\n\n"
         "Package: purged\nStatus: purge ok not-installed\nArchitecture: amd64\n\n";
  const auto touch = [&](const std::string& name, std::time_t when) {
    std::ofstream(admin.file("info/" + name)) << "/usr\n";
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, admin.file("info/" + name).c_str(), times, 0), 0);
  };
  std::tm noon{};
  noon.tm_year = 2024 - 1900, noon.tm_mon = 1, noon.tm_mday = 29, noon.tm_hour = 12, noon.tm_isdst = -1;
  const std::time_t leapDay = std::mktime(&noon);
  touch("man-db.list", leapDay);
  touch("bash:amd64.list", leapDay - 86400);
  touch("bash.list", leapDay);  // the qualified list wins

  auto inventory = makeDpkgInventory(admin.path().string());
  std::vector<std::string> listed;
  InstalledProduct product;
  for (std::uint32_t i = 0; inventory->productAt(i, product) == kInventorySuccess; ++i)
    listed.push_back(product.productCode + " " + product.version + " " + product.installDate);
  EXPECT_EQ(listed, (std::vector<std::string>{"man-db:amd64 2.11 20240229", "libc-bin:amd64 2.36 ",
                                              "half:all 1 ", "await:amd64 1 ", "unpacked:amd64 1 ",
                                              "bash:amd64 5.2 20240228"}));

  // Asked out of order, each index still gives its product; past the end, none.
  for (const std::uint32_t i : {4u, 1u, 5u, 0u, 2u}) {
    ASSERT_EQ(inventory->productAt(i, product), kInventorySuccess) << i;
    EXPECT_EQ(product.productCode + " " + product.version + " " + product.installDate, listed[i]) << i;
  }
  EXPECT_EQ(inventory->productAt(9, product), kInventoryNoMoreItems);

  // A status file that cannot be read ends the enumeration at once.
  auto nowhere = makeDpkgInventory(admin.file("missing"));
  EXPECT_NE(nowhere->productAt(0, product), kInventorySuccess);
}

}  // namespace
}  // namespace orvask
