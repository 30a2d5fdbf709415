#!/usr/bin/env bash
# Installs everything the two builds and their tests need on a Debian 12 machine.
# Idempotent: a second run installs nothing and returns quickly.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi

PACKAGES=(
  cmake ninja-build g++ pkg-config dpkg-dev tcl sqlite3 openssl
  nlohmann-json3-dev libjsoncpp-dev libsqlite3-dev libssl-dev libgtest-dev libp11-kit-dev
  softhsm2 opensc opensc-pkcs11 p11-kit-modules
  pcscd vsmartcard-vpcd libcacard-dev libnss3-tools libpcsclite-dev
  opencryptoki libtpm2-pkcs11-1 libtpm2-pkcs11-tools swtpm swtpm-tools tpm2-tools
  tpm2-abrmd libtss2-tcti-tabrmd0 libtss2-tcti-swtpm0 dbus-daemon
  openjdk-17-jdk-headless
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32 wine64 wixl msitools osslsigncode libengine-pkcs11-openssl python3-pefile
  lintian fakeroot
  clang-14 libclang-rt-14-dev
  ccache
  python3
)

# Source entries for `apt-get source`, derived from the machine's own binary entries.
add_source_entries() {
  local changed=0
  if [ -f /etc/apt/sources.list.d/debian.sources ] && [ ! -f /etc/apt/sources.list.d/tarvo-src.sources ]; then
    sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | $SUDO tee /etc/apt/sources.list.d/tarvo-src.sources >/dev/null
    changed=1
  fi
  if [ -f /etc/apt/sources.list ] && grep -qE '^deb ' /etc/apt/sources.list \
     && [ ! -f /etc/apt/sources.list.d/tarvo-src.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      | $SUDO tee /etc/apt/sources.list.d/tarvo-src.list >/dev/null
    changed=1
  fi
  return $changed
}

missing=()
for p in "${PACKAGES[@]}"; do
  case "$p" in wine32) q="wine32:i386" ;; *) q="$p" ;; esac
  dpkg-query -W -f='${Status}\n' "$q" 2>/dev/null | grep -q '^install ok installed' || missing+=("$q")
done

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
add_source_entries || need_update=1

if [ "${#missing[@]}" -gt 0 ] || [ "$need_update" -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
echo "setup: all packages present"
