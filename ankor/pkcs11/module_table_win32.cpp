#include "ankor/pkcs11/module_table.h"
#include "ankor/pkcs11/module_table_rows.h"

namespace ankor::pkcs11 {

// The vendors' fixed locations; no environment variable is read on Windows.
std::vector<ModuleRow> moduleTable() {
  std::vector<ModuleRow> rows;
  for (const ModuleTableEntry& entry : kModuleTableRows) {
    rows.push_back({entry.code, entry.windowsFirst, entry.windowsSecond});
  }
  return rows;
}

}  // namespace ankor::pkcs11
