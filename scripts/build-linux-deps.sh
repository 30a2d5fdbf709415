#!/usr/bin/env bash
# Builds a static, position-independent JsonCpp for the Linux programs from Debian's own
# source package (Debian ships only the shared library), so that the programs start
# without the dynamic loader relocating it. SQLite's static library comes from
# libsqlite3-dev.
# Usage: build-linux-deps.sh OUTDIR   -> OUTDIR/prefix/{include,lib}
# Runs once; later calls find the stamp and return at once.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
prefix="$out/prefix"
stamp="$prefix/.complete"

exec 9>"$out/.lock"
flock 9
[ -f "$stamp" ] && exit 0

rm -rf "$out/src" "$prefix"
mkdir -p "$out/src" "$prefix"
cd "$out/src"

echo "linux deps: fetching Debian's source of jsoncpp"
apt-get source -qq libjsoncpp >/dev/null 2>&1 || {
  echo "linux deps: 'apt-get source' failed; run scripts/setup.sh first (it adds the source entries)" >&2
  exit 1
}
jsoncpp_dir=$(find . -maxdepth 1 -type d \( -name 'libjsoncpp-*' -o -name 'jsoncpp-*' \) | head -n 1)
[ -n "$jsoncpp_dir" ] || { echo "linux deps: unexpected source layout" >&2; exit 1; }

echo "linux deps: building a static JsonCpp ($jsoncpp_dir)"
cmake -S "$jsoncpp_dir" -B jsoncpp-build -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF >/dev/null
cmake --build jsoncpp-build >/dev/null
cmake --install jsoncpp-build >/dev/null

touch "$stamp"
echo "linux deps: ready in $prefix"
