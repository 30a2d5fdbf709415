#!/usr/bin/env bash
# Orvask benchmark: first verification (empty white list) and second verification (full
# white list) with a synthetic inventory of COUNT products, and a black-list update of
# COUNT entries, run through the program's own entry by bench/orvask_bench.cpp; compared
# with the sqlite3 shell inserting the same rows in one transaction.
# Usage: bench/orvask_bench.sh [COUNT]   (default 10000; add WIN32=1 to also run under Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10000}
build=build/bench

[ -f "$build/build.ninja" ] || cmake --preset bench >/dev/null
cmake --build --preset bench --target orvask_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seconds() {  # seconds COMMAND... : wall time of the command
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}'
}

# The same rows with the sqlite3 shell, one transaction, into a fresh database.
shell_insert() {  # shell_insert TABLE PREFIX RUN
  local db="$work/shell-$3.db"
  {
    echo "BEGIN;"
    for ((i = 0; i < count; i++)); do
      echo "INSERT INTO $1 (Name, Version, ProductCode, Path, Date) VALUES ('Synthetic Product $i', '1.2.$i', '{$2-$i}', 'C:\\Program Files\\Synthetic\\$i', '20240131');"
    done
    echo "COMMIT;"
  } >"$work/$1.sql"
  sqlite3 "$db" "CREATE TABLE $1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);"
  echo "shell_$1 $(seconds sqlite3 "$db" ".read $work/$1.sql")"
}

runs=${RUNS:-5}
echo "== Orvask benchmark, $count products/entries, $(nproc) cores, median of $runs runs"
echo "-- Linux (Release build, $build)"
for ((run = 0; run < runs; run++)); do
  mkdir -p "$work/linux-$run"
  "$build/bin/orvask_bench" "$count" "$work/linux-$run"
  shell_insert TBWhiteList W "$run"
  shell_insert TBBlackList B "$run"
done >"$work/linux.txt"
# median NAME: the middle value of the runs of one measurement
median() { awk -v n="$1" '$1 == n {print $2}' "$work/linux.txt" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
first=$(median first_verification)
second=$(median second_verification)
update=$(median blacklist_update)
white=$(median shell_TBWhiteList)
black=$(median shell_TBBlackList)
echo "first verification (empty white list):  $first s"
echo "second verification (full white list):  $second s"
echo "black-list update:                      $update s"
echo "sqlite3 shell, same white-list rows:    $white s"
echo "sqlite3 shell, same black-list rows:    $black s"
awk -v f="$first" -v u="$update" -v w="$white" -v b="$black" 'BEGIN {
  printf "first verification / shell insert:      %.2fx\n", f / w
  printf "black-list update / shell insert:       %.2fx\n", u / b }'

if [ "${WIN32:-0}" = 1 ]; then
  echo "-- win32 under Wine (build/win32-bench)"
  [ -f build/win32-bench/build.ninja ] || cmake --preset win32-bench >/dev/null
  cmake --build --preset win32-bench --target orvask_bench >/dev/null
  mkdir -p "$work/win32"
  build/win32-bench/wine-run build/win32-bench/bin/orvask_bench.exe "$count" "$work/win32" | tr -d '\r'
fi
