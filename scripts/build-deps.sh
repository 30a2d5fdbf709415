#!/usr/bin/env bash
# Builds static JsonCpp and SQLite for win32 from Debian's own source packages, with the
# i686 MinGW toolchain (Debian has no MinGW builds of either; the Linux build links
# Debian's shared libraries).
# Usage: build-deps.sh win32 OUTDIR   -> OUTDIR/prefix/{include,lib}
# Runs once per version of this script; later calls find the stamp and return at once.
set -euo pipefail

target=${1:-}
case $target in
  win32)
    target_flags=(-DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")" && pwd)/../cmake/toolchain-i686-w64-mingw32.cmake")
    cc=(i686-w64-mingw32-gcc-posix) ar=i686-w64-mingw32-ar ;;
  *) echo "usage: build-deps.sh win32 OUTDIR" >&2; exit 2 ;;
esac
out=$(mkdir -p "$2" && cd "$2" && pwd)
prefix="$out/prefix"
stamp="$prefix/.complete"
version=$(sha1sum <"$0" | cut -d' ' -f1)

exec 9>"$out/.lock"
flock 9
[ "$(cat "$stamp" 2>/dev/null)" = "$version" ] && exit 0

rm -rf "$out/src" "$prefix"
mkdir -p "$out/src" "$prefix/include" "$prefix/lib"
cd "$out/src"

echo "$target deps: fetching Debian's sources of jsoncpp and sqlite3"
apt-get source -qq libjsoncpp sqlite3 >/dev/null 2>&1 || {
  echo "$target deps: 'apt-get source' failed; run scripts/setup.sh first (it adds the source entries)" >&2
  exit 1
}
jsoncpp_dir=$(find . -maxdepth 1 -type d \( -name 'libjsoncpp-*' -o -name 'jsoncpp-*' \) | head -n 1)
sqlite_dir=$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
[ -n "$jsoncpp_dir" ] && [ -n "$sqlite_dir" ] || { echo "$target deps: unexpected source layout" >&2; exit 1; }

echo "$target deps: building a static JsonCpp ($jsoncpp_dir)"
cmake -S "$jsoncpp_dir" -B jsoncpp-build -G Ninja "${target_flags[@]}" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF >/dev/null
cmake --build jsoncpp-build >/dev/null
cmake --install jsoncpp-build >/dev/null

# The amalgamation with SQLite's default features, serialized threading and no loadable
# extensions.
echo "$target deps: building the SQLite amalgamation ($sqlite_dir)"
mkdir -p sqlite-build
(cd sqlite-build && "../$sqlite_dir/configure" >/dev/null && make -s sqlite3.c >/dev/null)
"${cc[@]}" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
  -c sqlite-build/sqlite3.c -o sqlite-build/sqlite3.o
"$ar" rcs "$prefix/lib/libsqlite3.a" sqlite-build/sqlite3.o
cp sqlite-build/sqlite3.h sqlite-build/sqlite3ext.h "$prefix/include/"

echo "$version" >"$stamp"
echo "$target deps: ready in $prefix"
