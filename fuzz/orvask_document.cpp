// Orvask's verdict document with products of any texts (any bytes, as a legacy code
// page or a package database can give them).
// Oracle: the document parses with JsonCpp's reader and gives back the verdict and each
// product's texts in product-code order, well-formed UTF-8 unchanged and every other
// byte as U+FFFD.
#include <json/json.h>

#include <memory>
#include <string>

#include "orvask/checker.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t control = input.byte();
  static constexpr int kCodes[] = {orvask::kBlackListedFound, orvask::kNewSoftwareFound,
                                   orvask::kMachineReleased, orvask::kDriveFailed};
  const int code = kCodes[control & 3];
  orvask::SoftwareMap products;
  while (!input.empty()) {
    orvask::SoftwareRecord record;
    record.Name = input.take(input.byte());
    record.ProductCode = input.take(input.byte());
    record.Path = input.take(input.byte());
    record.Date = input.take(input.byte());
    record.Version = "1";
    orvask::addSoftware(products, std::move(record));
  }
  const bool listed = code == orvask::kBlackListedFound || code == orvask::kNewSoftwareFound;
  const orvask::SoftwareMap empty;
  const std::string document = code == orvask::kBlackListedFound
                                   ? orvask::resultDocument(code, products, empty)
                                   : orvask::resultDocument(code, empty, products);

  Json::Value root;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  FUZZ_CHECK(reader->parse(document.data(), document.data() + document.size(), &root, &errors),
             "%s", errors.c_str());
  const Json::Value& success = root["success"];
  FUZZ_CHECK(root.size() == 1 && success.isObject());
  FUZZ_CHECK(success["error"]["id"].asInt() == code);
  const Json::Value& softwares = success["softwares"];
  if (!listed || products.empty()) {
    FUZZ_CHECK(!success.isMember("softwares"));
    return 0;
  }
  FUZZ_CHECK(softwares.isArray() && softwares.size() == products.size());
  Json::ArrayIndex i = 0;
  for (const auto& [key, record] : products) {
    const Json::Value& item = softwares[i++];
    FUZZ_CHECK(item.size() == 4);
    const auto same = [&](const char* member, const std::string& text) {
      const std::string shown = item[member].asString();
      FUZZ_CHECK(shown == fuzz::replaceIllFormedBytes(text), "%s: %zu bytes shown for %zu", member,
                 shown.size(), text.size());
    };
    same("name", record.Name);
    same("uuid", record.ProductCode);
    same("path", record.Path);
    same("dtInstall", record.Date);
  }
  return 0;
}
