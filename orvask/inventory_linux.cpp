#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "orvask/dpkg_status.h"
#include "orvask/inventory_linux.h"

namespace orvask {

namespace {

constexpr std::uint32_t kStatusUnreadable = 2;  // like ERROR_FILE_NOT_FOUND

// Install date of a package: the day its file list was last written (YYYYMMDD, local time).
std::string installDate(const std::string& infoDir, const DpkgPackage& package) {
  struct stat info {};
  const std::string plain = infoDir + "/" + package.package + ".list";
  const std::string qualified = infoDir + "/" + package.package + ":" + package.architecture + ".list";
  if (stat(qualified.c_str(), &info) != 0 && stat(plain.c_str(), &info) != 0) return {};
  std::tm local{};
  if (localtime_r(&info.st_mtime, &local) == nullptr) return {};
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

class DpkgInventory final : public ProductInventory {
 public:
  explicit DpkgInventory(std::string adminDir) : adminDir_(std::move(adminDir)) {}

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    if (index == 0 && !load()) return kStatusUnreadable;
    if (index >= products_.size()) return kInventoryNoMoreItems;
    product = products_[index];
    return kInventorySuccess;
  }

 private:
  // Reads the status file afresh at the start of each enumeration.
  bool load() {
    products_.clear();
    std::ifstream file(adminDir_ + "/status", std::ios::binary);
    if (!file) return false;
    std::ostringstream text;
    text << file.rdbuf();
    for (const DpkgPackage& package : parseDpkgStatus(text.str())) {
      if (!isInstalled(package)) continue;
      // dpkg records no install location; it stays empty like an MSI that sets none.
      products_.push_back(InstalledProduct{productCodeOf(package), package.package, package.version,
                                           installDate(adminDir_ + "/info", package), {}});
    }
    return true;
  }

  std::string adminDir_;
  std::vector<InstalledProduct> products_;
};

}  // namespace

std::unique_ptr<ProductInventory> makeDpkgInventory(std::string adminDir) {
  return std::make_unique<DpkgInventory>(std::move(adminDir));
}

std::unique_ptr<ProductInventory> makeInventory() { return makeDpkgInventory("/var/lib/dpkg"); }

}  // namespace orvask
