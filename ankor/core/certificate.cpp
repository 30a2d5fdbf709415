#include "ankor/core/certificate.h"

#include <cstdio>
#include <string_view>

#include "common/utf8.h"

namespace ankor {
namespace {

// One DER element: its tag, content and the whole encoding.
struct Element {
  std::uint8_t tag = 0;
  const std::uint8_t* content = nullptr;
  std::size_t length = 0;
  const std::uint8_t* start = nullptr;
  std::size_t total = 0;
};

// Reads the element at data[0..size); single-byte tags, definite lengths only.
std::optional<Element> readElement(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 2 || (data[0] & 0x1F) == 0x1F) return std::nullopt;
  std::size_t header = 2;
  std::size_t length = data[1];
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || size < 2 + count) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[2 + i];
    header += count;
  }
  if (length > size - header) return std::nullopt;
  return Element{data[0], data + header, length, data, header + length};
}

// Calls visit(element) for each element of a constructed content; false when the
// content is not a sequence of whole elements or visit refuses one.
template <typename Visit>
bool forEachElement(const std::uint8_t* data, std::size_t size, Visit&& visit) {
  while (size > 0) {
    const auto element = readElement(data, size);
    if (!element || !visit(*element)) return false;
    data += element->total;
    size -= element->total;
  }
  return true;
}

std::optional<std::string> dottedOid(const Element& oid) {
  if (oid.tag != 0x06 || oid.length == 0) return std::nullopt;
  std::string text;
  std::uint64_t arc = 0;
  bool first = true;
  for (std::size_t i = 0; i < oid.length; ++i) {
    const std::uint8_t byte = oid.content[i];
    if (arc == 0 && byte == 0x80) return std::nullopt;  // not minimal
    if (arc > (UINT64_MAX >> 7)) return std::nullopt;
    arc = (arc << 7) | (byte & 0x7F);
    if (byte & 0x80) {
      if (i + 1 == oid.length) return std::nullopt;  // cut short
      continue;
    }
    if (first) {
      const std::uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
      text = std::to_string(top) + "." + std::to_string(arc - 40 * top);
      first = false;
    } else {
      text += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return text;
}

const char* shortName(const std::string& oid) {
  static constexpr std::pair<std::string_view, const char*> kNames[] = {
      {"2.5.4.3", "CN"},  {"2.5.4.7", "L"},  {"2.5.4.8", "ST"},
      {"2.5.4.10", "O"},  {"2.5.4.11", "OU"}, {"2.5.4.6", "C"},
      {"2.5.4.9", "STREET"},
      {"0.9.2342.19200300.100.1.25", "DC"},
      {"0.9.2342.19200300.100.1.1", "UID"},
  };
  for (const auto& [dotted, name] : kNames) {
    if (dotted == oid) return name;
  }
  return nullptr;
}

bool validCodePoint(std::uint32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

// The characters of a character-string value; nothing for another type or bytes that
// are not of its type.
std::optional<std::u32string> stringCharacters(const Element& value) {
  std::u32string out;
  const std::uint8_t* p = value.content;
  const std::size_t n = value.length;
  switch (value.tag) {
    case 0x0C: {  // UTF8String
      std::string_view text(reinterpret_cast<const char*>(p), n);
      while (!text.empty()) {
        const tarvo::Utf8Sequence sequence = tarvo::utf8SequenceAt(text);
        if (sequence.length == 0) return std::nullopt;
        out.push_back(sequence.codePoint);
        text.remove_prefix(sequence.length);
      }
      return out;
    }
    case 0x12: case 0x13: case 0x16: case 0x1A:  // Numeric, Printable, IA5, Visible
      for (std::size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x80) return std::nullopt;
        out.push_back(p[i]);
      }
      return out;
    case 0x14:  // TeletexString, read as Latin-1
      for (std::size_t i = 0; i < n; ++i) out.push_back(p[i]);
      return out;
    case 0x1E:  // BMPString: UTF-16, most significant byte first
      if (n % 2 != 0) return std::nullopt;
      for (std::size_t i = 0; i < n; i += 2) {
        std::uint32_t c = (std::uint32_t{p[i]} << 8) | p[i + 1];
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < n) {
          const std::uint32_t low = (std::uint32_t{p[i + 2]} << 8) | p[i + 3];
          if (low >= 0xDC00 && low <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
          }
        }
        if (!validCodePoint(c)) return std::nullopt;
        out.push_back(c);
      }
      return out;
    case 0x1C:  // UniversalString: UCS-4, most significant byte first
      if (n % 4 != 0) return std::nullopt;
      for (std::size_t i = 0; i < n; i += 4) {
        const std::uint32_t c = (std::uint32_t{p[i]} << 24) | (std::uint32_t{p[i + 1]} << 16) |
                                (std::uint32_t{p[i + 2]} << 8) | p[i + 3];
        if (!validCodePoint(c)) return std::nullopt;
        out.push_back(c);
      }
      return out;
    default:
      return std::nullopt;
  }
}

std::string escapedValue(const std::u32string& characters) {
  std::string out;
  for (std::size_t i = 0; i < characters.size(); ++i) {
    const std::uint32_t c = characters[i];
    const bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' ||
                         c == '>' || c == ';';
    const bool edge = (i == 0 && (c == ' ' || c == '#')) ||
                      (i + 1 == characters.size() && c == ' ');
    if (c < 0x20 || c == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02X", static_cast<unsigned>(c));
      out += hex;
    } else if (special || edge) {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      tarvo::appendUtf8(out, c);
    }
  }
  return out;
}

std::optional<std::string> attributeText(const Element& attribute) {
  if (attribute.tag != 0x30) return std::nullopt;
  std::optional<Element> type, value;
  int count = 0;
  const bool whole = forEachElement(attribute.content, attribute.length, [&](const Element& e) {
    if (count == 0) type = e;
    else if (count == 1) value = e;
    return ++count <= 2;
  });
  if (!whole || count != 2) return std::nullopt;
  const auto oid = dottedOid(*type);
  if (!oid) return std::nullopt;
  const char* name = shortName(*oid);
  if (name != nullptr) {
    if (const auto characters = stringCharacters(*value)) {
      return std::string(name) + "=" + escapedValue(*characters);
    }
  }
  return (name != nullptr ? std::string(name) : *oid) + "=#" +
         hexEncode(value->start, value->total);
}

}  // namespace

std::optional<DerHeader> derHeader(const std::uint8_t* data, std::size_t size) {
  const auto element = readElement(data, size);
  if (!element) return std::nullopt;
  return DerHeader{element->tag, element->total - element->length, element->length};
}

std::optional<std::string> rfc4514Name(const std::uint8_t* der, std::size_t size) {
  const auto name = readElement(der, size);
  if (!name || name->tag != 0x30 || name->total != size) return std::nullopt;
  std::vector<std::string> rdns;
  const bool whole = forEachElement(name->content, name->length, [&](const Element& rdn) {
    if (rdn.tag != 0x31 || rdn.length == 0) return false;
    std::string text;
    const bool attributesWhole =
        forEachElement(rdn.content, rdn.length, [&](const Element& attribute) {
          const auto part = attributeText(attribute);
          if (!part) return false;
          if (!text.empty()) text += '+';
          text += *part;
          return true;
        });
    rdns.push_back(std::move(text));
    return attributesWhole;
  });
  if (!whole) return std::nullopt;
  std::string out;
  for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) {
    if (!out.empty()) out += ',';
    out += *it;
  }
  return out;
}

std::string serialNumberText(const Bytes& twosComplement) {
  if (twosComplement.empty()) return "00";
  Bytes magnitude = twosComplement;
  const bool negative = (magnitude.front() & 0x80) != 0;
  if (negative) {
    // Two's complement negation: invert, then add one.
    for (auto& b : magnitude) b = static_cast<std::uint8_t>(~b);
    for (auto it = magnitude.rbegin(); it != magnitude.rend(); ++it) {
      if (++*it != 0) break;
    }
  }
  std::size_t first = 0;
  while (first + 1 < magnitude.size() && magnitude[first] == 0) ++first;
  const std::string digits = hexEncode(magnitude.data() + first, magnitude.size() - first);
  return negative ? "-" + digits : digits;
}

std::optional<std::string> isoUtcText(const UtcTime& t) {
  if (t.year < 0 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 ||
      t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 ||
      t.second > 60) {
    return std::nullopt;
  }
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return std::string(text);
}

std::optional<CertificateFields> describeCertificate(const DecodedCertificate& decoded) {
  auto subject = rfc4514Name(decoded.subject);
  auto issuer = rfc4514Name(decoded.issuer);
  auto notBefore = isoUtcText(decoded.notBefore);
  auto notAfter = isoUtcText(decoded.notAfter);
  if (!subject || !issuer || !notBefore || !notAfter) return std::nullopt;
  return CertificateFields{std::move(*subject), std::move(*issuer),
                           serialNumberText(decoded.serial), std::move(*notBefore),
                           std::move(*notAfter)};
}

void putCertificateMembers(nlohmann::json& record, const Bytes& der,
                           const CertificateDecoder& decoder) {
  record["certificate"] = base64Encode(der);
  const auto fields = decoder.decode(der);
  record["subject"] = fields ? nlohmann::json(fields->subject) : nlohmann::json(nullptr);
  record["issuer"] = fields ? nlohmann::json(fields->issuer) : nlohmann::json(nullptr);
  record["serialNumber"] =
      fields ? nlohmann::json(fields->serialNumber) : nlohmann::json(nullptr);
  record["notBefore"] = fields ? nlohmann::json(fields->notBefore) : nlohmann::json(nullptr);
  record["notAfter"] = fields ? nlohmann::json(fields->notAfter) : nlohmann::json(nullptr);
}

Bytes derInteger(const Bytes& content) {
  Bytes der = {0x02};
  const std::size_t length = content.size();
  if (length < 0x80) {
    der.push_back(static_cast<std::uint8_t>(length));
  } else {
    Bytes digits;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
      digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    }
    der.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
    der.insert(der.end(), digits.begin(), digits.end());
  }
  der.insert(der.end(), content.begin(), content.end());
  return der;
}

}  // namespace ankor
