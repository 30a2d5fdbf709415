#include "ankor/capi/store_format_linux.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "ankor/capi/text_linux.h"

namespace ankor::capi {
namespace {

constexpr const char* kContainerMagic = "ankor-container 1";
constexpr const char* kCertificateMagic = "ankor-certificate 1";

}  // namespace

std::string escapeName(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) != 0 || c == '-' || c == '_') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> unescapeName(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const std::string hex = text.substr(i + 1, 2);
    if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
      return std::nullopt;
    }
    out += static_cast<char>(std::stoi(hex, nullptr, 16));
    i += 2;
  }
  return out;
}

std::string foldCase(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::string pemBlock(const char* label, const Bytes& der) {
  const std::string base64 = base64Encode(der);
  std::string out = std::string("-----BEGIN ") + label + "-----\n";
  for (std::size_t i = 0; i < base64.size(); i += 64) out += base64.substr(i, 64) + "\n";
  return out + "-----END " + label + "-----\n";
}

std::string containerFileText(const std::string& name, bool exportable,
                              const std::string& keyPem) {
  return std::string(kContainerMagic) + "\nname " + escapeName(name) + "\nexportable " +
         (exportable ? "1" : "0") + "\n" + keyPem;
}

std::optional<ContainerFile> parseContainerFile(const std::string& text) {
  if (text.rfind(kContainerMagic, 0) != 0) return std::nullopt;
  ContainerFile file;
  file.exportable = text.find("\nexportable 1\n") != std::string::npos;
  if (const std::size_t at = text.find("\nname "); at != std::string::npos) {
    const std::size_t start = at + 6;
    file.name = unescapeName(text.substr(start, text.find('\n', start) - start));
  }
  // The key's block begins a line: a name may hold "-----BEGIN" itself, since "-" and
  // letters stay as they are in the escaped form.
  if (const std::size_t pem = text.find("\n-----BEGIN"); pem != std::string::npos) {
    file.keyPem = text.substr(pem + 1);
  }
  return file;
}

std::string storeEntryText(const StoreEntry& entry) {
  std::string text = std::string(kCertificateMagic) + "\n";
  if (entry.record) {
    const KeyProvInfo& r = *entry.record;
    text += "container " + escapeName(utf16ToUtf8(r.containerName)) + "\n";
    text += "provider " + escapeName(utf16ToUtf8(r.providerName)) + "\n";
    text += "type " + std::to_string(r.providerType) + "\n";
    text += "flags " + std::to_string(r.flags) + "\n";
    text += "keyspec " + std::to_string(r.keySpec) + "\n";
  }
  return text + pemBlock("CERTIFICATE", entry.der);
}

std::optional<StoreEntry> parseStoreEntry(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kCertificateMagic) return std::nullopt;
  StoreEntry entry;
  std::map<std::string, std::string> fields;
  std::string base64;
  bool inPem = false;
  while (std::getline(in, line)) {
    if (line.rfind("-----BEGIN", 0) == 0) {
      inPem = true;
    } else if (line.rfind("-----END", 0) == 0) {
      inPem = false;
    } else if (inPem) {
      base64 += line;
    } else if (const std::size_t space = line.find(' '); space != std::string::npos) {
      fields[line.substr(0, space)] = line.substr(space + 1);
    }
  }
  entry.der = base64Decode(base64);
  if (fields.count("container") != 0 && fields.count("provider") != 0) {
    const auto container = unescapeName(fields["container"]);
    const auto provider = unescapeName(fields["provider"]);
    KeyProvInfo record;
    if (!container || !provider || !utf8ToUtf16(*container, &record.containerName) ||
        !utf8ToUtf16(*provider, &record.providerName)) {
      return std::nullopt;
    }
    record.providerType = static_cast<std::uint32_t>(std::strtoul(fields["type"].c_str(), nullptr, 10));
    record.flags = static_cast<std::uint32_t>(std::strtoul(fields["flags"].c_str(), nullptr, 10));
    record.keySpec = static_cast<std::uint32_t>(std::strtoul(fields["keyspec"].c_str(), nullptr, 10));
    entry.record = record;
  }
  return entry;
}

}  // namespace ankor::capi
