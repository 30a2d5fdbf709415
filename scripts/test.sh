#!/usr/bin/env bash
# The test command: installs what is missing, builds the sanitized Linux target and
# the win32 target, and runs every test (the Windows ones under Wine through CTest);
# the Debian package is built from the linux preset and tested on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

echo "== linux-asan: configure, build, test"
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan
ctest --preset linux-asan

echo "== linux: the Debian package, installed on this machine and removed"
cmake --preset linux >/dev/null
cmake --build --preset linux --target package_deb
ctest --preset linux -R '^package_deb$'

echo "== win32: configure, build (with the MSI), test under Wine"
# Leave no Wine server of the test prefix running once the tests are over.
trap 'WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
cmake --preset win32 >/dev/null
cmake --build --preset win32
ctest --preset win32
