#!/usr/bin/env bash
# Orvask benchmark: first verification (empty white list) and second verification (full
# white list) with a synthetic inventory of COUNT products, and a black-list update of
# COUNT entries, run through the program's own entry by bench/orvask_bench.cpp; compared
# with the sqlite3 shell inserting the same rows in one transaction.
# Usage: bench/orvask_bench.sh [COUNT]   (default 10000; add WIN32=1 to also run under Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10000}
build=build/orvask-bench

if [ ! -f "$build/build.ninja" ]; then
  cmake --preset linux -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" --target orvask_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seconds() {  # seconds COMMAND... : wall time of the command
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}'
}

# The same rows with the sqlite3 shell, one transaction per list.
shell_insert() {  # shell_insert TABLE PREFIX
  {
    echo "BEGIN;"
    for ((i = 0; i < count; i++)); do
      echo "INSERT INTO $1 (Name, Version, ProductCode, Path, Date) VALUES ('Synthetic Product $i', '1.2.$i', '{$2-$i}', 'C:\\Program Files\\Synthetic\\$i', '20240131');"
    done
    echo "COMMIT;"
  } >"$work/$1.sql"
  sqlite3 "$work/shell.db" "CREATE TABLE IF NOT EXISTS $1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);"
  seconds sqlite3 "$work/shell.db" ".read $work/$1.sql"
}

echo "== Orvask benchmark, $count products/entries, $(nproc) cores"
echo "-- Linux (Release build, $build)"
mkdir -p "$work/linux"
"$build/bin/orvask_bench" "$count" "$work/linux" | tee "$work/linux.txt"
white=$(shell_insert TBWhiteList W)
black=$(shell_insert TBBlackList B)
echo "sqlite3 shell, $count white-list rows in one transaction: $white"
echo "sqlite3 shell, $count black-list rows in one transaction: $black"
awk -v w="$white" -v b="$black" '
  $1 == "first_verification" {printf "first verification / shell insert:  %.2fx\n", $2 / w}
  $1 == "blacklist_update"   {printf "black-list update / shell insert:   %.2fx\n", $2 / b}' "$work/linux.txt"

if [ "${WIN32:-0}" = 1 ] && [ -x build/orvask-win32/wine-run ]; then
  echo "-- win32 under Wine (build/orvask-win32)"
  cmake --build build/orvask-win32 --target orvask_bench >/dev/null
  mkdir -p "$work/win32"
  build/orvask-win32/wine-run build/orvask-win32/bin/orvask_bench.exe "$count" "$work/win32" | tr -d '\r'
fi
