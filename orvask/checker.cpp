#include "orvask/checker.h"

#include <cstdint>
#include <memory>
#include <vector>

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

// The installed product codes, for lookups by a column's text, each with a mark: an
// open-addressing table (FNV-1a, linear probing, at most half full) of views into the
// keys of the inventory, which outlives it. No allocation per code.
class CodeMarks {
 public:
  explicit CodeMarks(const SoftwareMap& inventory) {
    std::size_t capacity = 16;
    while (capacity < 2 * inventory.size()) capacity *= 2;
    slots_.resize(capacity);
    for (const auto& entry : inventory) {
      Slot& slot = find(entry.first);
      slot.data = entry.first.data();
      slot.size = static_cast<std::uint32_t>(entry.first.size());
      slot.used = true;
    }
  }
  // Marks the code; false when it is not installed.
  bool mark(std::string_view code) {
    Slot& slot = find(code);
    if (slot.used) slot.marked = true;
    return slot.used;
  }
  [[nodiscard]] bool marked(std::string_view code) { return find(code).marked; }
  void clearMarks() {
    for (Slot& slot : slots_) slot.marked = false;
  }

 private:
  struct Slot {  // 16 bytes: a code's view, packed (codes are far shorter than 4 GiB)
    const char* data = nullptr;
    std::uint32_t size = 0;
    bool used = false;
    bool marked = false;
    [[nodiscard]] std::string_view code() const { return {data, size}; }
  };
  // The code's slot, or the free slot where it would go.
  Slot& find(std::string_view code) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : code) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (!slot.used || slot.code() == code) return slot;
    }
  }
  std::vector<Slot> slots_;
};

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
  CodeMarks installed(inventory);
  bool anyRow = false;
  (void)CDBOrvask(database_).ForEachProductCode(kSelectBlackList, [&](std::string_view code) {
    anyRow = true;
    (void)installed.mark(code);
  });
  if (!anyRow) return kBlackListEmpty;
  for (const auto& entry : inventory)
    if (installed.marked(entry.first)) found.insert(found.end(), entry);
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
  CodeMarks listed(inventory);
  bool anyRow = false;
  SoftwareMap removed;  // white-listed products that are no longer installed
  const auto readList = [&] {
    anyRow = false;
    listed.clearMarks();
    require(database.ForEachProductCode(kSelectWhiteList, [&](std::string_view code) {
      anyRow = true;
      if (!listed.mark(code)) addSoftware(removed, SoftwareRecord{{}, {}, std::string(code), {}, {}});
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
    if (!listed.marked(entry.first)) notFound.insert(notFound.end(), entry);
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
