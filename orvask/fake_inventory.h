#pragma once
// A fake ProductInventory for the tests.
#include <cstdint>
#include <vector>

#include "orvask/framework.h"
#include "orvask/inventory.h"

namespace orvask::testing {

// Serves a fixed product list, records every index it is asked for, and can fail
// with a chosen status at a chosen index.
class FakeInventory final : public ProductInventory {
 public:
  std::vector<InstalledProduct> products;
  std::vector<std::uint32_t> askedIndexes;
  std::uint32_t failAt = UINT32_MAX;
  std::uint32_t failStatus = 1603;
  bool throwAtFail = false;

  std::uint32_t productAt(std::uint32_t index, InstalledProduct& product) override {
    askedIndexes.push_back(index);
    if (index == failAt) {
      if (throwAtFail) throw FrameworkError("inventory broke");
      return failStatus;
    }
    if (index >= products.size()) return kInventoryNoMoreItems;
    product = products[index];
    return kInventorySuccess;
  }
};

}  // namespace orvask::testing
