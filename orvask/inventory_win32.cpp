#include <windows.h>
#include <msi.h>

#include <cstring>
#include <string>

#include "orvask/inventory.h"
#include "orvask/product_property.h"

namespace orvask {

namespace {

// A text of the ANSI code page as UTF-8 (MultiByteToWideChar, WideCharToMultiByte): the
// installer's A functions answer in the code page; the document and the database hold
// UTF-8. A text that does not convert is kept as it is.
std::string ansiToUtf8(const std::string& text) {
  if (text.empty() || text.size() > kMaxPropertyLength) return text;
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (wide <= 0) return text;
  std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text.data(), size, utf16.data(), wide) != wide) return text;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return text;
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), bytes, nullptr, nullptr) != bytes) return text;
  return utf8;
}

// One product property (MsiGetProductInfoExA) in UTF-8; read in full even when it
// outgrows the first buffer, empty when it cannot be read.
std::string productProperty(const char* productCode, MSIINSTALLCONTEXT context, const char* property,
                            std::uint32_t bufferSize) {
  return ansiToUtf8(readPropertyText(bufferSize, [&](char* buffer, std::uint32_t& length) {
    DWORD offered = length;
    const UINT rc = MsiGetProductInfoExA(productCode, nullptr, context, property, buffer, &offered);
    length = offered;
    return static_cast<std::uint32_t>(rc);
  }));
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
