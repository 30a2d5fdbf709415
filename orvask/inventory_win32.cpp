#include <windows.h>
#include <msi.h>

#include <vector>

#include "orvask/inventory.h"

namespace orvask {

namespace {

// One product property (MsiGetProductInfoExA); read in full even when it outgrows the
// first buffer, empty when it cannot be read.
std::string productProperty(const char* productCode, MSIINSTALLCONTEXT context, const char* property,
                            DWORD bufferSize) {
  std::vector<char> value(bufferSize, '\0');
  DWORD length = bufferSize;
  UINT rc = MsiGetProductInfoExA(productCode, nullptr, context, property, value.data(), &length);
  if (rc == ERROR_MORE_DATA) {
    value.assign(length + 1, '\0');
    length += 1;
    rc = MsiGetProductInfoExA(productCode, nullptr, context, property, value.data(), &length);
  }
  if (rc != ERROR_SUCCESS) return {};
  return std::string(value.data());
}

class MsiInventory final : public ProductInventory {
 public:
  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    char productCode[256] = {};
    char userSid[512] = {};
    DWORD sidLength = 255;
    MSIINSTALLCONTEXT installedContext = MSIINSTALLCONTEXT_NONE;
    const UINT rc = MsiEnumProductsExA(nullptr, nullptr, MSIINSTALLCONTEXT_MACHINE, index, productCode,
                                       &installedContext, userSid, &sidLength);
    if (rc != ERROR_SUCCESS) return rc;
    product.productCode = productCode;
    product.version = productProperty(productCode, installedContext, "VersionString", 256);
    product.name = productProperty(productCode, installedContext, "InstalledProductName", 256);
    product.installDate = productProperty(productCode, installedContext, "InstallDate", 12);
    product.installLocation = productProperty(productCode, installedContext, "InstallLocation", 512);
    return kInventorySuccess;
  }
};

}  // namespace

std::unique_ptr<ProductInventory> makeInventory() { return std::make_unique<MsiInventory>(); }

}  // namespace orvask
