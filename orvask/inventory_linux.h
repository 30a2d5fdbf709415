#pragma once
// The dpkg inventory with its administrative directory, so tests can point it at a
// status file and file lists of their own.
#include <memory>
#include <string>

#include "orvask/inventory.h"

namespace orvask {

// Packages of `adminDir`/status whose files are present, dated by `adminDir`/info/*.list.
[[nodiscard]] std::unique_ptr<ProductInventory> makeDpkgInventory(std::string adminDir);

}  // namespace orvask
