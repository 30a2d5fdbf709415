#pragma once
// Reading the dpkg status database (/var/lib/dpkg/status): one entry per stanza.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvask {

struct DpkgPackage {
  std::string package;
  std::string architecture;
  std::string version;
  std::string status;  // "want flag state", e.g. "install ok installed"
};

// The same four fields and Multi-Arch, as views into the status text.
struct DpkgStanza {
  std::string_view package;
  std::string_view architecture;
  std::string_view version;
  std::string_view status;
  std::string_view multiArch;  // "same" for instances that may be installed side by side
};

// Reads the next stanza that names a package from the front of `rest` into `stanza` and
// moves `rest` past it; false when no such stanza is left. Continuation lines are
// skipped; the views point into the text `rest` views.
[[nodiscard]] bool nextDpkgStanza(std::string_view& rest, DpkgStanza& stanza);

// Calls `visit` for each stanza that names a package, in file order (nextDpkgStanza).
void forEachDpkgStanza(std::string_view text, const std::function<void(const DpkgStanza&)>& visit);

// Parses the stanzas of a status file (forEachDpkgStanza, the fields copied).
[[nodiscard]] std::vector<DpkgPackage> parseDpkgStatus(std::string_view text);

// True when the package's files may be on the machine: every state but "not-installed"
// and "config-files" (which leave only configuration files behind). Transient states
// count: "triggers-pending" and "half-configured" are routine while apt runs, and
// "half-installed" may have any part of the package's files on disk. A stanza without
// a Status field is not installed.
[[nodiscard]] bool isInstalled(const DpkgPackage& package);
// The same rule on the Status field's text.
[[nodiscard]] bool isInstalledStatus(std::string_view status);
// True for the state "not-installed" and for a stanza without a Status field: an
// instance that dpkg keeps only for its selection ("config-files" is still an instance).
[[nodiscard]] bool isNotInstalledStatus(std::string_view status);

// The product code of a package: "name:architecture", unique per installed instance.
[[nodiscard]] std::string productCodeOf(const DpkgPackage& package);

}  // namespace orvask
