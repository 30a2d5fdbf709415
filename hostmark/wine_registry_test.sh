#!/usr/bin/env bash
# The DLL when the machine identifier is missing or too long, in a private Wine prefix
# (the value is changed there only): no MachineGuid gives status 2 from every export; a
# value longer than the 999 characters its buffer holds gives ERROR_MORE_DATA (234)
# instead of a read past the buffer. The first run creates the prefix (some seconds).
source "$TARVO_SOURCE_DIR/tests/lib.sh"

export TARVO_WINEPREFIX="$TARVO_BUILD_DIR/hostmark-prefix"
key='HKLM\SOFTWARE\Microsoft\Cryptography'
bin_windows="Z:${TARVO_BIN//\//\\}"

expect_status() {  # expect_status DESCRIPTION STATUS
  set +e
  "$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$bin_windows" expect "$2" >"$out_raw"
  status=$?
  set -e
  tr -d '\r' <"$out_raw"
  check "$1" 0 "$status"
}

"$TARVO_RUNNER" reg add "$key" /v MachineGuid /t REG_SZ /d "$(printf 'g%.0s' {1..1000})" /f >/dev/null
expect_status "MachineGuid of 1000 characters" 234
"$TARVO_RUNNER" reg add "$key" /v MachineGuid /t REG_SZ /d "$(printf 'g%.0s' {1..999})" /f >/dev/null
set +e
"$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$bin_windows" >"$out_raw"
set -e
plain=$(tr -d '\r' <"$out_raw" | sed -n 's/^plain=\([^ ]*\) status=0$/\1/p')
check "MachineGuid of 999 characters still fits" 44 "${#plain}"
"$TARVO_RUNNER" reg delete "$key" /v MachineGuid /f >/dev/null
expect_status "missing MachineGuid" 2

finish
