#include "orvask/checker.h"

#include <memory>
#include <string_view>
#include <unordered_set>

#include "orvask/framework.h"

namespace orvask {

void CChecker::EnumerateInstalledSoftware() {
  inventory.clear();
  enumerationIndex = 0;
  try {
    for (;;) {
      InstalledProduct product;
      lastEnumerationResult = source_.productAt(enumerationIndex, product);
      if (lastEnumerationResult != kInventorySuccess) break;
      // The dpkg inventory comes nearly in key order: the end is the usual place, and an
      // existing entry still wins.
      std::string key = product.productCode;
      inventory.try_emplace(inventory.end(), std::move(key),
                            SoftwareRecord{std::move(product.name), std::move(product.version),
                                           std::move(product.productCode), std::move(product.installLocation),
                                           std::move(product.installDate)});
      ++enumerationIndex;
    }
  } catch (const FrameworkError& failure) {
    failure.report();  // the inventory keeps what it has
  }
}

bool CChecker::SplitByList(const SoftwareMap& source, const SoftwareMap& lookup, SoftwareMap& found,
                           SoftwareMap& notFound) {
  found.clear();
  notFound.clear();
  bool any = false;
  for (const auto& entry : source) {
    if (lookup.contains(entry.first)) {
      found.insert(entry);
      any = true;
    } else {
      notFound.insert(entry);
    }
  }
  return any;
}

namespace {

using CodeSet = std::unordered_set<std::string_view>;

// The product codes of a map, as views into its keys (the map outlives the set).
CodeSet codesOf(const SoftwareMap& map) {
  CodeSet codes;
  codes.reserve(map.size());
  for (const auto& entry : map) codes.insert(entry.first);
  return codes;
}

// A white-list step that could not be read or stored ends the run: a list that is not
// known must not make an unchanged machine look new, nor store the inventory again.
void require(int code, const CDBTransaction& transaction) {
  if (code != kDbDone) throw FrameworkError("TBWhiteList: " + transaction.lastError());
}

}  // namespace

int CChecker::CheckBlackList() {
  // Only the product codes of the list matter: each is looked up among the installed
  // products. An unreadable list counts as the rows read so far.
  found.clear();
  const CodeSet installed = codesOf(inventory);
  CodeSet listed;  // the installed codes the list holds (views into the inventory's keys)
  bool anyRow = false;
  (void)CDBOrvask(database_).ForEachProductCode(kSelectBlackList, [&](std::string_view code) {
    anyRow = true;
    if (const auto at = installed.find(code); at != installed.end()) listed.insert(*at);
  });
  if (!anyRow) return kBlackListEmpty;
  for (const auto& entry : inventory)
    if (listed.contains(entry.first)) found.insert(found.end(), entry);
  return found.empty() ? kMachineReleased : kBlackListedFound;
}

int CChecker::CheckWhiteList() {
  // Reading the list and storing the changes are one write transaction: of several runs
  // at once exactly one finds the products new and stores them, the others wait and
  // then find them stored. It is committed by CommitWhiteList once the verdict is out.
  // Only product codes matter: a product listed under its code is the same product.
  whiteListUpdate_ = std::make_unique<CDBTransaction>(database_);
  CDBTransaction& database = *whiteListUpdate_;
  require(database.begin(), database);
  const CodeSet installed = codesOf(inventory);
  CodeSet listed;  // the installed codes the list holds (views into the inventory's keys)
  bool anyRow = false;
  SoftwareMap removed;  // white-listed products that are no longer installed
  const auto readList = [&] {
    anyRow = false;
    listed.clear();
    require(database.ForEachProductCode(kSelectWhiteList, [&](std::string_view code) {
      anyRow = true;
      if (const auto at = installed.find(code); at != installed.end()) listed.insert(*at);
      else addSoftware(removed, SoftwareRecord{{}, {}, std::string(code), {}, {}});
    }), database);
  };
  readList();
  found.clear();
  notFound.clear();
  if (!anyRow) {
    // First verification: every installed product is new.
    notFound = inventory;
    require(database.InsertList(kInsertWhiteList, inventory), database);
    return kNewSoftwareFound;
  }
  if (!removed.empty()) {
    (void)database.DeleteList(kDeleteWhiteList, removed);  // a row that cannot go is skipped
    removed.clear();
    readList();
  }
  for (const auto& entry : inventory)
    if (!listed.contains(entry.first)) notFound.insert(notFound.end(), entry);
  if (notFound.empty()) return kMachineReleased;
  require(database.InsertList(kInsertWhiteList, notFound), database);
  return kNewSoftwareFound;
}

void CChecker::CommitWhiteList() {
  if (!whiteListUpdate_) return;
  const std::unique_ptr<CDBTransaction> update = std::move(whiteListUpdate_);
  require(update->commit(), *update);
}

void CChecker::PrintResult(int code, std::ostream& out) const {
  out << resultDocument(code, found, notFound) << std::endl;
}

}  // namespace orvask
