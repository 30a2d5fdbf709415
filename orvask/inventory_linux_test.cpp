#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>

#include "orvask/inventory.h"

namespace orvask {
namespace {

// The inventory lists exactly the package instances dpkg-query reports as installed.
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
    if (text.substr(0, a) == "installed") expected[text.substr(a + 1, b - a - 1)] = text.substr(b + 1);
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

}  // namespace
}  // namespace orvask
