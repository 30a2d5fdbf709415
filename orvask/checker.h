#pragma once
// The checks of a verification: inventory, black list, white list, and the verdict document.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "orvask/database.h"
#include "orvask/inventory.h"
#include "orvask/software.h"

namespace orvask {

// Verdict codes of the result document.
inline constexpr int kMachineReleased = 0;
inline constexpr int kDriveFailed = 0xF00B;         // 61451
inline constexpr int kBlackListEmpty = 0xF015;      // 61461
inline constexpr int kBlackListedFound = 0xF018;    // 61464
inline constexpr int kBlackListUpdated = 0xF019;    // 61465
inline constexpr int kNewSoftwareFound = 0xF022;    // 61474

class CChecker {
 public:
  CChecker(ProductInventory& inventory, DatabaseSettings database)
      : source_(inventory), database_(std::move(database)) {}

  // Fills `inventory` from the product inventory, index by index, until it answers
  // anything but success.
  void EnumerateInstalledSoftware();
  // Splits `source` by the keys of `lookup`; true when any key was found.
  static bool SplitByList(const SoftwareMap& source, const SoftwareMap& lookup, SoftwareMap& found,
                          SoftwareMap& notFound);
  // 61461 (black list empty or unreadable), 61464 (installed products on it, in
  // found) or 0.
  [[nodiscard]] int CheckBlackList();
  // Removes uninstalled products from the white list and adds new ones: 61474 when
  // there were new products (listed in notFound), else 0. The changes stay in one open
  // transaction until CommitWhiteList; dropping the checker rolls them back. Throws
  // FrameworkError when the list cannot be read or changed (busy past the bounded wait,
  // a read-only database, a missing table): an unknown list is not an empty one.
  [[nodiscard]] int CheckWhiteList();
  // Commits the changes of CheckWhiteList (nothing when there are none); throws
  // FrameworkError when the commit fails, which leaves the list as it was.
  void CommitWhiteList();
  // Writes the verdict document of `code` and a line end.
  void PrintResult(int code, std::ostream& out) const;

  // The installed products; the black-listed ones among them (61464); the new ones (61474).
  SoftwareMap inventory;
  SoftwareMap found;
  SoftwareMap notFound;
  std::uint32_t enumerationIndex = 0;
  std::uint32_t lastEnumerationResult = 0;

 private:
  ProductInventory& source_;
  DatabaseSettings database_;
  std::unique_ptr<CDBTransaction> whiteListUpdate_;
};

// The verdict document as JsonCpp's default stream writer prints it (no line end).
[[nodiscard]] std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound);

// Standard Base64 with "=" padding, the form hosts send "UpdateBlackList" input in.
[[nodiscard]] std::string EncodeBase64(std::string_view bytes);

// Base64 decoding that stops at "=" or at the first character outside the alphabet; a
// trailing partial group of 2 or 3 characters yields 1 or 2 bytes, a lone one nothing.
[[nodiscard]] std::string DecodeBase64(std::string_view text);

// Reads the "UpdateBlackList" input (base64 of {"content":[{"name","productcode",
// "version"},...]}) into `entries`, first product code wins, up to the first element
// without a name. False when the input is not JSON or has a shape it cannot be read in.
[[nodiscard]] bool readBlackListInput(std::string_view base64, SoftwareMap& entries);

}  // namespace orvask
