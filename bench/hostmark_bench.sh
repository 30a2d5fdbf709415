#!/usr/bin/env bash
# Times one retrieveMachineID computation on Linux (target: median under 1 ms) and,
# under Wine, reports the same computation, whose time is mostly the WMI queries.
# Usage: bench/hostmark_bench.sh [ROUNDS] [LINUX_BUILD_DIR] [WIN32_BUILD_DIR]
# (defaults: 200, build/bench, build/win32-bench: the Release presets with the benchmark
# programs, each configured with its preset if needed).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200}
linux_dir=${2:-build/bench}
win32_dir=${3:-build/win32-bench}

prepare() {  # prepare PRESET DIR
  [ -f "$2/build.ninja" ] || cmake --preset "$1" -B "$2" >/dev/null
  cmake --build "$2" --target hostmark_bench >/dev/null
}

echo "== Linux ($linux_dir, $(grep -m1 CMAKE_BUILD_TYPE: "$linux_dir/CMakeCache.txt" 2>/dev/null | cut -d= -f2 || echo new))"
prepare bench "$linux_dir"
result=$("$linux_dir/bin/hostmark_bench" "$rounds")
echo "$result"
median=$(awk '/^retrieveMachineID/ { for (i = 1; i <= NF; i++) if ($i == "median") print $(i + 1) }' <<<"$result")
verdict=$(awk -v m="$median" 'BEGIN { print (m < 1000) ? "met" : "NOT met" }')
echo "target (median under 1000 us): $verdict"

echo
echo "== Windows under Wine ($win32_dir), for information"
prepare win32-bench "$win32_dir"
"$win32_dir/wine-run" "$win32_dir/bin/hostmark_bench.exe" "$((rounds / 4 > 0 ? rounds / 4 : 1))" | tr -d '\r'

[ "$verdict" = met ]
