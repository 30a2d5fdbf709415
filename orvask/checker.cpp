#include "orvask/checker.h"

#include <memory>
#include <unordered_map>

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
      addSoftware(inventory, SoftwareRecord{std::move(product.name), std::move(product.version),
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

// The installed product codes, for lookups by a column's text. The views point into the
// keys of the inventory, which outlives the set.
using CodeMarks = std::unordered_map<std::string_view, bool>;
CodeMarks codeMarks(const SoftwareMap& inventory) {
  CodeMarks marks;
  marks.reserve(inventory.size());
  for (const auto& entry : inventory) marks.emplace(entry.first, false);
  return marks;
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
  CodeMarks installed = codeMarks(inventory);
  bool anyRow = false;
  (void)CDBOrvask(database_).ForEachProductCode(kSelectBlackList, [&](std::string_view code) {
    anyRow = true;
    if (const auto hit = installed.find(code); hit != installed.end()) hit->second = true;
  });
  if (!anyRow) return kBlackListEmpty;
  for (const auto& entry : inventory)
    if (installed.at(entry.first)) found.insert(entry);
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
  CodeMarks listed = codeMarks(inventory);
  bool anyRow = false;
  SoftwareMap removed;  // white-listed products that are no longer installed
  const auto readList = [&] {
    anyRow = false;
    for (auto& mark : listed) mark.second = false;
    require(database.ForEachProductCode(kSelectWhiteList, [&](std::string_view code) {
      anyRow = true;
      if (const auto hit = listed.find(code); hit != listed.end()) hit->second = true;
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
    if (!listed.at(entry.first)) notFound.insert(entry);
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
