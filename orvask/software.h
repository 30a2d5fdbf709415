#pragma once
// The software lists of the checker: one record per product, maps keyed by product code.
#include <map>
#include <string>

namespace orvask {

struct SoftwareRecord {
  std::string Name;
  std::string Version;
  std::string ProductCode;
  std::string Path;
  std::string Date;  // install date, eight digits year-month-day
  bool operator==(const SoftwareRecord&) const = default;
};

// Keys compare byte by byte (letter case counts); the key always equals ProductCode.
// Lookups also take a std::string_view (a column's text) without copying it.
using SoftwareMap = std::map<std::string, SoftwareRecord, std::less<>>;

// Adds a record under its product code; an existing entry wins.
inline void addSoftware(SoftwareMap& map, SoftwareRecord record) {
  std::string key = record.ProductCode;
  map.try_emplace(std::move(key), std::move(record));
}

}  // namespace orvask
