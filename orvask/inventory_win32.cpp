#include <windows.h>
#include <msi.h>

#include <cstring>

#include "orvask/inventory.h"
#include "orvask/product_property.h"

namespace orvask {

namespace {

// One product property (MsiGetProductInfoExA); read in full even when it outgrows the
// first buffer, empty when it cannot be read.
std::string productProperty(const char* productCode, MSIINSTALLCONTEXT context, const char* property,
                            std::uint32_t bufferSize) {
  return readPropertyText(bufferSize, [&](char* buffer, std::uint32_t& length) {
    DWORD offered = length;
    const UINT rc = MsiGetProductInfoExA(productCode, nullptr, context, property, buffer, &offered);
    length = offered;
    return static_cast<std::uint32_t>(rc);
  });
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
    // The code is a braced GUID; the buffer bounds it even if it came back unterminated.
    product.productCode.assign(productCode, strnlen(productCode, sizeof productCode));
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
