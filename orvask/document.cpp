#include "orvask/document.h"

#include <cstdint>
#include <string_view>

#include "common/utf8.h"

namespace orvask {

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
          const tarvo::Utf8Sequence sequence = tarvo::utf8SequenceAt(text.substr(i));
          const std::size_t length = sequence.length;
          if (length == 0) {
            appendHex(0xFFFD);
            ++i;
            continue;
          }
          std::uint32_t codePoint = sequence.codePoint;
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

}  // namespace orvask
