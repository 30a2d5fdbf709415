#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (or the ones named) for SECONDS
# each (default 60), printing per target: executions, executions per second, coverage
# (edges libFuzzer counts as "cov") and findings.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Environment:
#   FUZZ_JOBS=N    targets run N at a time (default 1), each under nice
#   FUZZ_RUNS=N    also stop a target after N executions (e.g. 10000000)
#   FUZZ_BUILD_DIR=DIR  build and run in DIR instead of build/fuzz (a second tree can be
#                  built while the first one's targets run)
#   FUZZ_MERGE=1   minimise what a run added that raises coverage into fuzz/corpus/<target>
#                  (-merge=1); a corpus then above FUZZ_MAX_FILES files (default 300) is
#                  cut to a set of inputs reaching the same edges (-set_cover_merge=1)
#
# A finding is the input libFuzzer saves (crash-*, leak-*, timeout-*, oom-*) under
# build/fuzz/runs/<target>/ (FUZZ_BUILD_DIR's runs/); the log beside it tells what
# failed. Exit status 1 when any target has a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
[ $# -gt 0 ] && shift
jobs="${FUZZ_JOBS:-1}"
max_files="${FUZZ_MAX_FILES:-300}"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*.cpp; do
    name="$(basename "$source" .cpp)"
    [ "$name" = replay_main ] || targets+=("$name")
  done
fi

build_dir="${FUZZ_BUILD_DIR:-build/fuzz}"
cmake --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target fuzz_programs >/dev/null

runs_dir="$build_dir/runs"
mkdir -p "$runs_dir"

# Per-target limits: the token module may announce values up to the documented 16 MiB
# bound, which ankor then holds and encodes; nothing else needs more than a few MiB.
malloc_limit() {
  case "$1" in
    pkcs11_module) echo 96 ;;
    *) echo 64 ;;
  esac
}

run_target() {
  local target="$1" dir="$runs_dir/$1"
  rm -rf "$dir"
  mkdir -p "$dir/new" "$dir/artifacts" "fuzz/corpus/$target"
  local options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=25
                 -malloc_limit_mb="$(malloc_limit "$target")" -rss_limit_mb=2048
                 -artifact_prefix="$dir/artifacts/")
  [ -n "${FUZZ_RUNS:-}" ] && options+=(-runs="$FUZZ_RUNS")
  local status=0
  nice -n 10 "$build_dir/fuzz/fuzz_$target" "${options[@]}" "$dir/new" "fuzz/corpus/$target" \
    >"$dir/log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
  if [ "${FUZZ_MERGE:-0}" = 1 ] && [ "$status" = 0 ]; then
    nice -n 10 "$build_dir/fuzz/fuzz_$target" -merge=1 "fuzz/corpus/$target" "$dir/new" \
      >"$dir/merge.log" 2>&1
    if [ "$(find "fuzz/corpus/$target" -type f | wc -l)" -gt "$max_files" ]; then
      # Too many files (-merge keeps every input that adds a feature, hit counts
      # included): a small set of inputs that reaches the same edges instead. The
      # inputs of past findings (findings/) stay as they are.
      rm -rf "$dir/minimal" "$dir/findings" && mkdir -p "$dir/minimal"
      [ -d "fuzz/corpus/$target/findings" ] && mv "fuzz/corpus/$target/findings" "$dir/findings"
      nice -n 10 "$build_dir/fuzz/fuzz_$target" -set_cover_merge=1 -use_counters=0 \
        "$dir/minimal" "fuzz/corpus/$target" >>"$dir/merge.log" 2>&1
      rm -rf "fuzz/corpus/$target" && mv "$dir/minimal" "fuzz/corpus/$target"
      [ -d "$dir/findings" ] && mv "$dir/findings" "fuzz/corpus/$target/findings"
    fi
  fi
}

running=0
for target in "${targets[@]}"; do
  [ -f "fuzz/$target.cpp" ] || { echo "fuzz: no target $target" >&2; exit 2; }
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

found=0
printf '%-20s %12s %9s %8s %8s  %s\n' target executions exec/s cov corpus findings
for target in "${targets[@]}"; do
  dir="$runs_dir/$target"
  log="$dir/log"
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  coverage="$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -1 | sed 's/cov: //')"
  files="$(find "fuzz/corpus/$target" -type f | wc -l)"
  findings="$(find "$dir/artifacts" -type f | wc -l)"
  if [ "$findings" -gt 0 ] || [ "$(cat "$dir/status")" != 0 ]; then
    found=1
    detail="$findings saved ($(find "$dir/artifacts" -type f -printf '%f ' | head -c 200 || true)); see $log"
  else
    detail=none
  fi
  printf '%-20s %12s %9s %8s %8s  %s\n' "$target" "${executions:-?}" "${rate:-?}" \
    "${coverage:-?}" "$files" "$detail"
done
exit "$found"
