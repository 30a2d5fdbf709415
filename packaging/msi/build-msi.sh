#!/usr/bin/env bash
# Builds the toolset's Windows Installer package from a win32 build:
#   packaging/msi/build-msi.sh [--version X.Y.Z] BIN_DIR OUTPUT.msi
# BIN_DIR holds ankor.exe, Orvask.exe and TarvoHostmark_V_1_0_1_0.dll (build/win32/bin).
# The package version is the program version unless --version overrides it (an
# upgrade package for tests, or a rebuild that must replace an installed one).
# Needs wixl, msibuild (msitools) and sqlite3.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(tarvo VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
if [ "${1:-}" = --version ]; then
  version=$2
  shift 2
fi
if [ $# -ne 2 ]; then
  echo "usage: $0 [--version X.Y.Z] BIN_DIR OUTPUT.msi" >&2
  exit 2
fi
bin=$1 output=$2
# Windows Installer compares the first three fields, each within its own range.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] \
   || [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "build-msi: version '$version' is not MAJOR.MINOR.BUILD (255.255.65535 at most)" >&2
  exit 2
fi
for tool in wixl msibuild sqlite3; do
  command -v "$tool" >/dev/null || { echo "build-msi: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for file in ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll; do
  [ -f "$bin/$file" ] || { echo "build-msi: $bin/$file is missing (build the win32 preset first)" >&2; exit 1; }
  cp "$bin/$file" "$stage/"
done
cp "$root/hostmark/TarvoHostmark.h" "$root/hostmark/java/org/tarvo/hostmark/Hostmark.java" \
  "$root/hostmark/java/org/tarvo/hostmark/HostmarkCallback.java" "$stage/"
sqlite3 "$stage/Orvask.db" <"$root/orvask/schema.sql"

# Product code: a name-based UUID (SHA-1, version 5) of the package version, so a
# rebuild of one version is the same product and every other version a different one.
hash=$(printf 'tarvo-toolset-msi %s' "$version" | sha1sum)
variant=$(printf '%x' $(( (0x${hash:16:1} & 0x3) | 0x8 )))
product_code=$(printf '{%s-%s-5%s-%s%s-%s}' "${hash:0:8}" "${hash:8:4}" "${hash:13:3}" \
  "$variant" "${hash:17:3}" "${hash:20:12}" | tr a-f A-F)

mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
rm -f "$output"
# wixl takes sources relative to where it runs.
(cd "$stage" && wixl -D Version="$version" -D ProductCode="$product_code" \
  -o "$output" "$root/packaging/msi/tarvo.wxs")
# Permanent (16) + NeverOverwrite (128): wixl drops these attributes, so they are set
# in the built table.
msibuild "$output" -q "UPDATE Component SET Attributes = 144 WHERE Component = 'Database'"
echo "build-msi: $output (version $version, product code $product_code)"
