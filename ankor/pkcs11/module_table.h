// The module table: which vendor module each token type code selects. Its rows are
// written once, in ankor/pkcs11/module_table.txt; module_table_linux.cpp and
// module_table_win32.cpp take their platform's columns from the header generated
// from it.
#pragma once

#include <string>
#include <vector>

namespace ankor::pkcs11 {

// One row of the module table: the code and its two recorded locations. Only the
// first location is ever loaded.
struct ModuleRow {
  std::string code;
  std::string firstLocation;
  std::string secondLocation;
};

// The seven rows in table order (GD, ET, AT, BR, OB, EP, DX). On Windows the
// vendors' fixed paths; on Linux configured defaults, each replaced at run time by
// the environment variable ANKOR_PKCS11_MODULE_<code> when it is set and not empty.
std::vector<ModuleRow> moduleTable();

}  // namespace ankor::pkcs11
