#include "orvask/checker.h"

#include <json/json.h>

#include <memory>
#include <sstream>

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
      addSoftware(inventory, SoftwareRecord{product.name, product.version, product.productCode,
                                            product.installLocation, product.installDate});
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

int CChecker::CheckBlackList() {
  // An unreadable list counts as the rows read so far; the code is not needed here.
  (void)CDBOrvask(database_).LoadList(kSelectBlackList, blackList);
  if (blackList.empty()) return kBlackListEmpty;
  return SplitByList(inventory, blackList, found, notFound) ? kBlackListedFound : kMachineReleased;
}

namespace {

// A white-list step that could not be read or stored ends the run: a list that is not
// known must not make an unchanged machine look new, nor store the inventory again.
void require(int code, const CDBTransaction& transaction) {
  if (code != kDbDone) throw FrameworkError("TBWhiteList: " + transaction.lastError());
}

}  // namespace

int CChecker::CheckWhiteList() {
  // Reading the list and storing the changes are one write transaction: of several runs
  // at once exactly one finds the products new and stores them, the others wait and
  // then find them stored. It is committed by CommitWhiteList once the verdict is out.
  whiteListUpdate_ = std::make_unique<CDBTransaction>(database_);
  CDBTransaction& database = *whiteListUpdate_;
  require(database.begin(), database);
  require(database.LoadList(kSelectWhiteList, whiteList), database);
  if (whiteList.empty()) {
    // First verification: every installed product is new. notFound is refilled here
    // so that the document lists them whatever ran before.
    notFound = inventory;
    found.clear();
    require(database.InsertList(kInsertWhiteList, inventory), database);
    return kNewSoftwareFound;
  }
  SplitByList(whiteList, inventory, found, notFound);
  if (!notFound.empty()) {
    (void)database.DeleteList(kDeleteWhiteList, notFound);  // a row that cannot go is skipped
    whiteList.clear();
    require(database.LoadList(kSelectWhiteList, whiteList), database);
  }
  SplitByList(inventory, whiteList, found, notFound);
  if (notFound.empty()) return kMachineReleased;
  require(database.InsertList(kInsertWhiteList, notFound), database);
  return kNewSoftwareFound;
}

void CChecker::CommitWhiteList() {
  if (!whiteListUpdate_) return;
  const std::unique_ptr<CDBTransaction> update = std::move(whiteListUpdate_);
  require(update->commit(), *update);
}

namespace {

const char* messageOf(int code) {
  switch (code) {
    case kDriveFailed: return "Drive [V:] nao esta mapeado ou esta em estado de erro.";
    case kBlackListEmpty: return "BlackList vazia.";
    case kBlackListedFound: return "Software(s) instalado(s) consta(m) na BlackList.";
    case kBlackListUpdated: return "BlackList atualizada.";
    case kNewSoftwareFound: return "Novo(s) software(s) instalado(s).";
    default: return nullptr;
  }
}

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not
// one (a stray continuation byte, a cut or overlong sequence, a surrogate, beyond U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

// The text with every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
// The JSON writer reads a lead byte's length without checking what follows, so a stray
// byte (a name in a legacy code page) would otherwise swallow the characters after it.
std::string wellFormedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace

std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound) {
  Json::Value error(Json::objectValue);
  const char* message = messageOf(code);
  if (message == nullptr) {
    code = kMachineReleased;
    message = "Maquina liberada para uso.";
  }
  error["id"] = code;
  error["message"] = message;
  Json::Value success(Json::objectValue);
  success["error"] = std::move(error);
  const SoftwareMap* listed = code == kBlackListedFound ? &found : code == kNewSoftwareFound ? &notFound : nullptr;
  if (listed != nullptr && !listed->empty()) {
    Json::Value softwares(Json::arrayValue);
    for (const auto& [key, record] : *listed) {
      Json::Value item(Json::objectValue);
      item["name"] = wellFormedUtf8(record.Name);
      item["uuid"] = wellFormedUtf8(record.ProductCode);
      item["path"] = wellFormedUtf8(record.Path);
      item["dtInstall"] = wellFormedUtf8(record.Date);
      softwares.append(std::move(item));
    }
    success["softwares"] = std::move(softwares);
  }
  Json::Value root(Json::objectValue);
  root["success"] = std::move(success);
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

void CChecker::PrintResult(int code, std::ostream& out) const {
  out << resultDocument(code, found, notFound) << std::endl;
}

std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned accumulator = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    accumulator = ((accumulator << 8) | c) & 0xFFFFu;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(accumulator >> bits) & 63];
    }
  }
  if (bits > 0) out += kAlphabet[(accumulator << (6 - bits)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::string DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned accumulator = 0;
  int bits = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) break;  // "=" or any foreign character ends the input
    accumulator = ((accumulator << 6) | static_cast<unsigned>(v)) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((accumulator >> bits) & 0xFFu));
    }
  }
  return out;
}

bool readBlackListInput(std::string_view base64, SoftwareMap& entries) {
  const std::string json = DecodeBase64(base64);
  Json::Value root;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  try {
    if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors)) return false;
  } catch (const Json::Exception&) {
    return false;  // the reader throws instead of failing when nesting exceeds its limit
  }
  // Shapes that cannot hold the list end the command like unreadable input.
  if (!root.isObject() && !root.isNull()) return false;
  const Json::Value& content = root["content"];
  if (!content.isArray() && !content.isNull()) return false;
  auto text = [](const Json::Value& item, const char* member, std::string& out) {
    const Json::Value& value = item[member];
    if (value.isArray() || value.isObject()) return false;
    out = value.asString();
    return true;
  };
  SoftwareMap read;
  for (Json::ArrayIndex i = 0; i < content.size(); ++i) {
    const Json::Value& item = content[i];
    if (!item.isObject() && !item.isNull()) return false;
    SoftwareRecord record;
    if (!text(item, "name", record.Name)) return false;
    if (record.Name.empty()) break;
    if (!text(item, "productcode", record.ProductCode) || !text(item, "version", record.Version)) return false;
    addSoftware(read, std::move(record));
  }
  entries = std::move(read);
  return true;
}

}  // namespace orvask
