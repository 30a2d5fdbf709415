#pragma once
// The checks of a verification: inventory, black list and white list; the verdict
// document (document.h) and the black-list input (black_list_input.h) apart.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "orvask/black_list_input.h"
#include "orvask/database.h"
#include "orvask/document.h"
#include "orvask/inventory.h"
#include "orvask/software.h"

namespace orvask {

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

}  // namespace orvask
