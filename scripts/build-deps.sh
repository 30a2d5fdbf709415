#!/usr/bin/env bash
# Builds, from Debian's own source packages, the libraries a target needs that Debian
# ships in no form it can link:
#   win32  JsonCpp and SQLite with the i686 MinGW toolchain (Debian has no MinGW builds);
#   linux  a static, position-independent JsonCpp (Debian ships only the shared library),
#          so that the programs start without the loader relocating it; SQLite's static
#          library comes from libsqlite3-dev.
# Usage: build-deps.sh linux|win32 OUTDIR   -> OUTDIR/prefix/{include,lib}
# Runs once; later calls find the stamp and return at once.
set -euo pipefail

target=${1:-}
case $target in
  linux) sources=(libjsoncpp) ;;
  win32) sources=(libjsoncpp sqlite3) ;;
  *) echo "usage: build-deps.sh linux|win32 OUTDIR" >&2; exit 2 ;;
esac
out=$(mkdir -p "$2" && cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
prefix="$out/prefix"
stamp="$prefix/.complete"

exec 9>"$out/.lock"
flock 9
[ -f "$stamp" ] && exit 0

rm -rf "$out/src" "$prefix"
mkdir -p "$out/src" "$prefix/include" "$prefix/lib"
cd "$out/src"

echo "$target deps: fetching Debian's sources of ${sources[*]}"
apt-get source -qq "${sources[@]}" >/dev/null 2>&1 || {
  echo "$target deps: 'apt-get source' failed; run scripts/setup.sh first (it adds the source entries)" >&2
  exit 1
}
jsoncpp_dir=$(find . -maxdepth 1 -type d \( -name 'libjsoncpp-*' -o -name 'jsoncpp-*' \) | head -n 1)
[ -n "$jsoncpp_dir" ] || { echo "$target deps: unexpected source layout" >&2; exit 1; }

if [ "$target" = win32 ]; then
  target_flags=(-DCMAKE_TOOLCHAIN_FILE="$here/../cmake/toolchain-i686-w64-mingw32.cmake")
else
  target_flags=(-DCMAKE_POSITION_INDEPENDENT_CODE=ON)
fi
echo "$target deps: building a static JsonCpp ($jsoncpp_dir)"
cmake -S "$jsoncpp_dir" -B jsoncpp-build -G Ninja "${target_flags[@]}" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF >/dev/null
cmake --build jsoncpp-build >/dev/null
cmake --install jsoncpp-build >/dev/null

if [ "$target" = win32 ]; then
  sqlite_dir=$(find . -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
  [ -n "$sqlite_dir" ] || { echo "$target deps: unexpected source layout" >&2; exit 1; }
  echo "$target deps: building the SQLite amalgamation ($sqlite_dir)"
  mkdir -p sqlite-build
  (cd sqlite-build && "../$sqlite_dir/configure" >/dev/null && make -s sqlite3.c >/dev/null)
  i686-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
    -c sqlite-build/sqlite3.c -o sqlite-build/sqlite3.o
  i686-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" sqlite-build/sqlite3.o
  cp sqlite-build/sqlite3.h sqlite-build/sqlite3ext.h "$prefix/include/"
fi

touch "$stamp"
echo "$target deps: ready in $prefix"
