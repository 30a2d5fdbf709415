// The Linux key store's file names and file formats: functions of bytes only, with no
// file access, so that each can be tested (and fed arbitrary input) on its own.
#pragma once

#include <optional>
#include <string>

#include "ankor/capi/platform.h"

namespace ankor::capi {

// File-name form of a name: letters, digits, "-" and "_" stay, every other byte
// becomes %XX (upper-case hexadecimal).
std::string escapeName(const std::string& name);
// The bytes of an escaped name; nullopt for a "%" not followed by two hexadecimal digits.
std::optional<std::string> unescapeName(const std::string& text);
// ASCII letters lower-cased, every other byte unchanged: container names match without
// regard to ASCII letter case, as the Windows software providers match them.
std::string foldCase(std::string name);

// A PEM block of 64-character lines.
std::string pemBlock(const char* label, const Bytes& der);

// A key container file: "ankor-container 1", "name <escaped name as created>",
// "exportable 0|1", then the key exchange key as an unencrypted PKCS#8 PEM block
// (absent while the container has no key).
struct ContainerFile {
  std::optional<std::string> name;  // nullopt when the line is missing or badly escaped
  bool exportable = false;
  std::string keyPem;  // from the first line beginning "-----BEGIN" to the end; empty without a key
};
std::string containerFileText(const std::string& name, bool exportable,
                              const std::string& keyPem);
// nullopt when the text does not begin with the magic line.
std::optional<ContainerFile> parseContainerFile(const std::string& text);

// A certificate store entry: "ankor-certificate 1", the key-provider record when set
// ("container", "provider" percent-escaped UTF-8; "type", "flags", "keyspec" decimal),
// then the certificate as a PEM block.
struct StoreEntry {
  Bytes der;
  std::optional<KeyProvInfo> record;
};
std::string storeEntryText(const StoreEntry& entry);
// nullopt without the magic line, or with a record whose names do not decode.
std::optional<StoreEntry> parseStoreEntry(const std::string& text);

}  // namespace ankor::capi
