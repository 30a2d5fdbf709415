#include "orvask/dpkg_status.h"

#include <algorithm>

namespace orvask {

namespace {

// White space as dpkg trims it from the end of a value: space, \t, \r, \f and \v.
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Field names are compared without regard to ASCII letter case, as dpkg does.
bool sameField(std::string_view field, std::string_view name) {
  if (field.size() != name.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(field[i]) != lower(name[i])) return false;
  }
  return true;
}

}  // namespace

bool nextDpkgStanza(std::string_view& rest, DpkgStanza& stanza) {
  DpkgStanza current;
  bool inStanza = false;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    // Blank (only spaces, tabs or a CR): the stanza ends.
    if (std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; })) {
      if (inStanza && !current.package.empty()) {
        stanza = current;
        return true;
      }
      current = DpkgStanza{};
      inStanza = false;
      continue;
    }
    inStanza = true;
    if (line.front() == ' ' || line.front() == '\t') continue;  // continuation of a long field
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view field = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    if (sameField(field, "Package")) current.package = value;
    else if (sameField(field, "Architecture")) current.architecture = value;
    else if (sameField(field, "Version")) current.version = value;
    else if (sameField(field, "Status")) current.status = value;
    else if (sameField(field, "Multi-Arch")) current.multiArch = value;
  }
  if (!inStanza || current.package.empty()) return false;
  stanza = current;
  return true;
}

void forEachDpkgStanza(std::string_view text, const std::function<void(const DpkgStanza&)>& visit) {
  DpkgStanza stanza;
  while (nextDpkgStanza(text, stanza)) visit(stanza);
}

std::vector<DpkgPackage> parseDpkgStatus(std::string_view text) {
  std::vector<DpkgPackage> packages;
  forEachDpkgStanza(text, [&](const DpkgStanza& stanza) {
    packages.push_back(DpkgPackage{std::string(stanza.package), std::string(stanza.architecture),
                                   std::string(stanza.version), std::string(stanza.status)});
  });
  return packages;
}

bool isInstalledStatus(std::string_view status) {
  const std::size_t last = status.rfind(' ');
  if (last == std::string_view::npos) return false;
  const std::string_view state = status.substr(last + 1);
  return !state.empty() && state != "not-installed" && state != "config-files";
}

bool isNotInstalledStatus(std::string_view status) {
  const std::size_t last = status.rfind(' ');
  return last == std::string_view::npos || status.substr(last + 1) == "not-installed";
}

bool isInstalled(const DpkgPackage& package) { return isInstalledStatus(package.status); }

std::string productCodeOf(const DpkgPackage& package) { return package.package + ":" + package.architecture; }

}  // namespace orvask
