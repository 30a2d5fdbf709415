#include "orvask/checker.h"

#include <json/json.h>

#include <memory>
#include <sstream>
#include <cstdint>
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
      slot.code = entry.first;
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
  struct Slot {
    std::string_view code;
    bool used = false;
    bool marked = false;
  };
  // The code's slot, or the free slot where it would go.
  Slot& find(std::string_view code) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : code) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (!slot.used || slot.code == code) return slot;
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

// A JSON string as JsonCpp's writer quotes it (its default, emitUTF8 off): the two
// quoting characters and the five short escapes, other controls as \u00xx, ASCII as it
// is, and every other character as \uxxxx of its code point (a surrogate pair beyond
// U+FFFF), hex digits in lower case. A byte that is not part of well-formed UTF-8 is
// written as U+FFFD (JsonCpp would read a lead byte's length without checking what
// follows, and a stray byte of a legacy code page would swallow the characters after it).
void appendQuoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto appendHex = [&](unsigned unit) {
    const char escape[6] = {'\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15],
                            kHex[unit & 15]};
    out.append(escape, sizeof escape);
  };
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          appendHex(c);
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          const std::size_t length = utf8SequenceLength(text.substr(i));
          if (length == 0) {
            appendHex(0xFFFD);
            ++i;
            continue;
          }
          unsigned codePoint = length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
          for (std::size_t k = 1; k < length; ++k) codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
          if (codePoint < 0x10000) {
            appendHex(codePoint);
          } else {
            codePoint -= 0x10000;
            appendHex(0xD800 + ((codePoint >> 10) & 0x3FF));
            appendHex(0xDC00 + (codePoint & 0x3FF));
          }
          i += length;
          continue;
        }
    }
    ++i;
  }
  out += '"';
}

}  // namespace

// Written directly in the form of JsonCpp's default stream writer (tabs, " : ", members
// in name order, an object or array value on the line after its name).
std::string resultDocument(int code, const SoftwareMap& found, const SoftwareMap& notFound) {
  const char* message = messageOf(code);
  if (message == nullptr) {
    code = kMachineReleased;
    message = "Maquina liberada para uso.";
  }
  const SoftwareMap* listed = code == kBlackListedFound ? &found : code == kNewSoftwareFound ? &notFound : nullptr;
  if (listed != nullptr && listed->empty()) listed = nullptr;
  std::string out;
  out.reserve(160 + (listed != nullptr ? listed->size() * 128 : 0));
  out += "{\n\t\"success\" : \n\t{\n\t\t\"error\" : \n\t\t{\n\t\t\t\"id\" : ";
  out += std::to_string(code);
  out += ",\n\t\t\t\"message\" : ";
  appendQuoted(out, message);
  if (listed == nullptr) {
    out += "\n\t\t}\n\t}\n}";
    return out;
  }
  out += "\n\t\t},\n\t\t\"softwares\" : \n\t\t[";
  const char* separator = "\n";
  for (const auto& [key, record] : *listed) {
    out += separator;
    separator = ",\n";
    out += "\t\t\t{\n\t\t\t\t\"dtInstall\" : ";
    appendQuoted(out, record.Date);
    out += ",\n\t\t\t\t\"name\" : ";
    appendQuoted(out, record.Name);
    out += ",\n\t\t\t\t\"path\" : ";
    appendQuoted(out, record.Path);
    out += ",\n\t\t\t\t\"uuid\" : ";
    appendQuoted(out, record.ProductCode);
    out += "\n\t\t\t}";
  }
  out += "\n\t\t]\n\t}\n}";
  return out;
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
