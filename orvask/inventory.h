#pragma once
// The products installed for the machine, read one index at a time.
#include <cstdint>
#include <memory>
#include <string>

namespace orvask {

struct InstalledProduct {
  std::string productCode;
  std::string name;             // "InstalledProductName"
  std::string version;          // "VersionString"
  std::string installDate;      // "InstallDate", eight digits year-month-day
  std::string installLocation;  // "InstallLocation"
};

inline constexpr std::uint32_t kInventorySuccess = 0;
inline constexpr std::uint32_t kInventoryNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS

class ProductInventory {
 public:
  virtual ~ProductInventory() = default;
  // Fills `product` with the per-machine product at `index` and returns 0; any other
  // status (259 past the last one) ends the enumeration. A property that cannot be read
  // stays empty. Windows: MsiEnumProductsExA (machine context) + MsiGetProductInfoExA.
  [[nodiscard]] virtual std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) = 0;
};

// The platform's inventory: Windows Installer, or the dpkg database on Linux.
[[nodiscard]] std::unique_ptr<ProductInventory> makeInventory();

}  // namespace orvask
