// The dpkg status parser, on any file, and on well-formed files the harness builds from
// the input (fields in any order, long descriptions with continuation lines, unknown
// fields, several stanzas).
// Oracle: no crash; on every well-formed file the parser agrees with a reference reading
// of its stanzas; a package counts as installed in every state but "not-installed" and
// "config-files".
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "orvask/dpkg_status.h"
#include "fuzz/fuzz_support.h"

namespace {

using Stanza = std::map<std::string, std::string>;

bool isFieldName(const std::string& name) {
  if (name.empty()) return false;
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return true;
}

// White space a value may not begin or end with: what the parser trims.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Field names compare without regard to ASCII letter case: kept in lower case.
std::string lowered(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// A reading of a well-formed file: stanzas separated by empty lines; each line "Name: value"
// (a value without surrounding blanks, no field twice in a stanza, names in any letter
// case) or a continuation line
// (a space, then text). Nothing when the file is not of that form.
std::optional<std::vector<Stanza>> readWellFormed(const std::string& text) {
  std::vector<Stanza> stanzas;
  Stanza current;
  bool open = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return std::nullopt;  // every line ends with a line feed
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      if (open) stanzas.push_back(std::move(current));
      current.clear();
      open = false;
      continue;
    }
    if (line[0] == ' ') {
      if (!open || line.size() < 2 || isBlank(line[1]) || isBlank(line.back())) return std::nullopt;
      continue;
    }
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos) return std::nullopt;
    const std::string name = lowered(line.substr(0, colon));
    const std::string value = line.substr(colon + 2);
    if (!isFieldName(name) || value.empty() || isBlank(value.front()) || isBlank(value.back()) ||
        current.count(name) != 0) {
      return std::nullopt;
    }
    current[name] = value;
    open = true;
  }
  if (open) stanzas.push_back(std::move(current));
  return stanzas;
}

// A well-formed file from the input's bytes.
std::string buildFile(fuzz::Input& input) {
  static const char* const kFields[] = {"Package", "Architecture", "Version", "Status",
                                        "Description", "Depends", "Multi-Arch", "Priority"};
  static const char* const kStates[] = {"install ok installed", "hold ok installed",
                                        "deinstall ok installed", "deinstall ok config-files",
                                        "install ok half-installed", "install ok unpacked",
                                        "purge ok not-installed", "install reinstreq half-configured"};
  auto value = [&]() {
    std::string v;
    for (std::size_t n = 1 + input.byte() % 12; n > 0; --n) {
      const char c = static_cast<char>(0x21 + input.byte() % 0x5E);  // printable, not blank
      v += c;
    }
    return v;
  };
  std::string file;
  while (!input.empty()) {
    const std::uint8_t present = input.byte();
    std::set<std::string> used;  // a field once per stanza
    for (int f = 0; f < 8; ++f) {
      if ((present >> f & 1) == 0) continue;
      const std::string name = kFields[(f + input.byte()) % 8];
      if (!used.insert(name).second) continue;
      file += ((input.byte() & 3) == 0 ? lowered(name) : name) + ": " + (name == "Status" ? std::string(kStates[input.byte() % 8]) : value()) + "\n";
      if (name == "Description") {
        for (int lines = input.byte() % 3; lines > 0; --lines) file += " " + value() + "\n";
      }
    }
    file += "\n";
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const bool build = (input.byte() & 1) != 0;
  const std::string text = build ? buildFile(input) : input.rest();
  const std::vector<orvask::DpkgPackage> packages = orvask::parseDpkgStatus(text);
  for (const auto& package : packages) {
    FUZZ_CHECK(!package.package.empty());
    (void)orvask::productCodeOf(package);
    // Installed in every state but "not-installed" and "config-files" (the state is the
    // Status field's last word); without a Status field, not installed.
    const std::size_t space = package.status.rfind(' ');
    const std::string state = space == std::string::npos ? "" : package.status.substr(space + 1);
    const bool installed = !state.empty() && state != "not-installed" && state != "config-files";
    FUZZ_CHECK(orvask::isInstalled(package) == installed, "status \"%s\"", package.status.c_str());
  }

  const auto stanzas = readWellFormed(text);
  FUZZ_CHECK(stanzas || !build, "the harness built a file that is not well-formed");
  if (!stanzas) return 0;
  std::vector<orvask::DpkgPackage> expected;
  for (const Stanza& stanza : *stanzas) {
    const auto field = [&](const char* name) {
      const auto it = stanza.find(lowered(name));
      return it == stanza.end() ? std::string() : it->second;
    };
    if (field("Package").empty()) continue;
    expected.push_back({field("Package"), field("Architecture"), field("Version"), field("Status")});
  }
  FUZZ_CHECK(packages.size() == expected.size(), "%zu packages read, %zu expected", packages.size(),
             expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK(packages[i].package == expected[i].package &&
                   packages[i].architecture == expected[i].architecture &&
                   packages[i].version == expected[i].version &&
                   packages[i].status == expected[i].status,
               "package %zu differs: %s", i, expected[i].package.c_str());
  }
  return 0;
}
