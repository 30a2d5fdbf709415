#!/usr/bin/env bash
# Builds the two libraries that Debian ships no MinGW package for (JsonCpp and SQLite)
# from Debian's own source packages with the i686 MinGW toolchain.
# Usage: build-win32-deps.sh OUTDIR   -> OUTDIR/prefix/{include,lib}
# Runs once; later calls find the stamp and return at once.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
toolchain="$here/../cmake/toolchain-i686-w64-mingw32.cmake"
prefix="$out/prefix"
stamp="$prefix/.complete"

exec 9>"$out/.lock"
flock 9
[ -f "$stamp" ] && exit 0

rm -rf "$out/src" "$prefix"
mkdir -p "$out/src" "$prefix/include" "$prefix/lib"
cd "$out/src"

echo "win32 deps: fetching Debian sources of jsoncpp and sqlite3"
apt-get source -qq libjsoncpp sqlite3 >/dev/null 2>&1 || {
  echo "win32 deps: 'apt-get source' failed; run scripts/setup.sh first (it adds the source entries)" >&2
  exit 1
}

jsoncpp_dir=$(find . -maxdepth 1 -type d -name 'libjsoncpp-*' -o -maxdepth 1 -type d -name 'jsoncpp-*' | head -n 1)
sqlite_dir=$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
[ -n "$jsoncpp_dir" ] && [ -n "$sqlite_dir" ] || { echo "win32 deps: unexpected source layout" >&2; exit 1; }

echo "win32 deps: building JsonCpp ($jsoncpp_dir)"
cmake -S "$jsoncpp_dir" -B jsoncpp-build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF >/dev/null
cmake --build jsoncpp-build >/dev/null
cmake --install jsoncpp-build >/dev/null

echo "win32 deps: building the SQLite amalgamation ($sqlite_dir)"
mkdir -p sqlite-build
(cd sqlite-build && "../$sqlite_dir/configure" >/dev/null && make -s sqlite3.c >/dev/null)
i686-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
  -c sqlite-build/sqlite3.c -o sqlite-build/sqlite3.o
i686-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" sqlite-build/sqlite3.o
cp sqlite-build/sqlite3.h sqlite-build/sqlite3ext.h "$prefix/include/"

touch "$stamp"
echo "win32 deps: ready in $prefix"
