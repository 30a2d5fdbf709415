#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <random>
#include <vector>
#include <cctype>

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

// The package instances dpkg-query lists with their files on the machine, for an
// administrative directory: "name:arch" -> version.
std::map<std::string, std::string> dpkgQuery(const std::string& adminDir) {
  const std::string command = "dpkg-query --admindir='" + adminDir +
                              "' -W -f='${db:Status-Status}\\t${Package}:${Architecture}\\t${Version}\\n'";
  FILE* pipe = popen(command.c_str(), "r");
  std::map<std::string, std::string> listed;
  if (pipe == nullptr) return listed;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t a = text.find('\t'), b = text.find('\t', a + 1);
    if (b == std::string::npos) continue;
    const std::string state = text.substr(0, a);
    if (state != "not-installed" && state != "config-files") listed[text.substr(a + 1, b - a - 1)] = text.substr(b + 1);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return listed;
}

// Generated databases read as dpkg reads them: the status file, then the journal files
// of updates/ in numeric order; a later stanza of a package and architecture replaces
// the earlier one (also within one file); field names in any letter case; values ending
// in any white space, \f and \v included; a journal stanza cross-grades a package's one
// instance. dpkg-query over the same directory is the reference.
TEST(DpkgInventory, ReadsTheDatabaseAsDpkgQuery) {
  std::mt19937 random(20261210);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  // alpha and beta are "Multi-Arch: same" (one instance per architecture); the others
  // have one instance, of a fixed architecture in the status file, which the journal
  // may cross-grade. (dpkg refuses databases outside these rules.)
  struct Name {
    const char* name;
    bool same;
    const char* statusArchitecture;
  };
  const Name names[] = {{"alpha", true, nullptr}, {"beta", true, nullptr}, {"gamma", false, "amd64"},
                        {"delta", false, "all"}, {"eps", false, "i386"}};
  const char* sameArchitectures[] = {"amd64", "i386"};
  const char* architectures[] = {"amd64", "all", "i386"};
  const char* statuses[] = {"install ok installed",       "install ok installed",    "deinstall ok config-files",
                            "purge ok not-installed",     "install ok half-configured", "install ok unpacked",
                            "install reinstreq half-installed", "hold ok installed", "deinstall ok installed"};
  const char* trailing[] = {"", "", " ", "\t", "\f", "\v", "\r", " \f\v\t "};
  const auto field = [&](std::string name, const std::string& value) {
    for (char& c : name)
      if (pick(3) == 0) c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
    return name + ": " + value + trailing[pick(std::size(trailing))] + "\n";
  };
  int version = 0;
  std::set<std::string> present;  // names the status file already has an instance of, not "not-installed"
  const auto stanza = [&](bool journal) {
    const Name& name = names[pick(std::size(names))];
    std::string status = statuses[pick(std::size(statuses))];
    // In the status file a second instance may only take the first one's place as a
    // selection (installed, then purged); dpkg refuses two present ones.
    if (!journal && present.count(name.name) != 0) status = "purge ok not-installed";
    if (!journal && status.find("not-installed") == std::string::npos) present.insert(name.name);
    const bool notInstalled = status.find("not-installed") != std::string::npos;
    std::string text = field("Package", name.name) + field("Status", status);
    if (name.same)
      text += field("Architecture", sameArchitectures[pick(2)]) + field("Multi-Arch", "same");
    else if (!journal || !notInstalled || pick(2) == 0)
      text += field("Architecture", journal ? architectures[pick(std::size(architectures))] : name.statusArchitecture);
    if (!notInstalled)
      text += field("Maintainer", "Someone <someone@example.org>") + field("Version", "1." + std::to_string(++version)) +
              field("Description", "a package\n more text");
    return text;
  };
  int listedSomething = 0, journalMattered = 0;
  for (int round = 0; round < 150; ++round) {
    testing::TempDir admin;
    std::filesystem::create_directories(admin.path() / "info");
    std::filesystem::create_directories(admin.path() / "updates");
    std::string status;
    present.clear();
    for (std::size_t i = pick(7); i > 0; --i) status += stanza(false) + "\n";
    std::ofstream(admin.file("status"), std::ios::binary) << status;
    std::string journal;  // for the failure message
    for (std::size_t i = pick(5); i > 0; --i) {
      char name[16];
      std::snprintf(name, sizeof name, "updates/%04d", static_cast<int>(pick(12)));
      const std::string text = stanza(true) + (pick(4) == 0 ? "\n" + stanza(true) : "");
      std::ofstream(admin.file(name), std::ios::binary) << text;
      journal += std::string(name) + ":\n" + text + "\n";
    }
    if (pick(5) == 0) std::ofstream(admin.file("updates/tmp.i")) << stanza(true);  // not a journal file

    const std::map<std::string, std::string> expected = dpkgQuery(admin.path().string());
    auto inventory = makeDpkgInventory(admin.path().string());
    std::map<std::string, std::string> listed;
    InstalledProduct product;
    std::uint32_t index = 0;
    for (; inventory->productAt(index, product) == kInventorySuccess; ++index) listed[product.productCode] = product.version;
    EXPECT_EQ(index, listed.size()) << "a product code was listed twice\n" << status;
    ASSERT_EQ(listed, expected) << "status:\n" << status << journal;
    listedSomething += expected.empty() ? 0 : 1;
    std::filesystem::remove_all(admin.path() / "updates");
    std::filesystem::create_directories(admin.path() / "updates");
    journalMattered += dpkgQuery(admin.path().string()) != expected ? 1 : 0;
  }
  EXPECT_GT(listedSomething, 75);
  EXPECT_GT(journalMattered, 30);  // the journal changed what is installed in many rounds
}

}  // namespace
}  // namespace orvask
