#include <cstdlib>

#include "ankor/pkcs11/module_table.h"
#include "ankor/pkcs11/module_table_rows.h"

namespace ankor::pkcs11 {

// The Linux columns; ANKOR_PKCS11_MODULE_<code> replaces a first location when set
// and not empty.
std::vector<ModuleRow> moduleTable() {
  std::vector<ModuleRow> rows;
  for (const ModuleTableEntry& entry : kModuleTableRows) {
    ModuleRow row{entry.code, entry.linuxFirst, entry.linuxSecond};
    const std::string variable = std::string("ANKOR_PKCS11_MODULE_") + entry.code;
    if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != '\0') {
      row.firstLocation = value;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace ankor::pkcs11
