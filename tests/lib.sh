# Helpers for the end-to-end scripts. CTest passes TARVO_RUNNER (the Wine wrapper on
# win32, empty on Linux), TARVO_PLATFORM and TARVO_BIN.
set -euo pipefail

: "${TARVO_PLATFORM:?run through ctest}"
: "${TARVO_BIN:?run through ctest}"
failures=0
checks=0

exe() {  # path of a deliverable program
  if [ "$TARVO_PLATFORM" = win32 ]; then echo "$TARVO_BIN/$1.exe"; else echo "$TARVO_BIN/$1"; fi
}

# run_program NAME ARGS... : runs a deliverable; its standard output goes to $out (raw
# bytes in $out_raw), its exit status to $status.
out_raw=$(mktemp)
trap 'rm -f "$out_raw"' EXIT
run_program() {
  local program; program=$(exe "$1"); shift
  set +e
  if [ -n "${TARVO_RUNNER:-}" ]; then
    "$TARVO_RUNNER" "$program" "$@" >"$out_raw"
  else
    "$program" "$@" >"$out_raw"
  fi
  status=$?
  set -e
  # Windows text mode writes CR LF; compare with LF line ends.
  out=$(tr -d '\r' <"$out_raw"; printf x); out=${out%x}
}

check() {  # check DESCRIPTION EXPECTED ACTUAL
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    failures=$((failures + 1))
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
