#!/usr/bin/env bash
# The DLL when the machine identifier is missing or too long, in a private 64-bit Wine
# prefix (the value is changed there only): no MachineGuid gives status 2 from every
# export; a value longer than the 999 characters its buffer holds gives ERROR_MORE_DATA
# (234) instead of a read past the buffer. The 32-bit library reads the registry's
# 64-bit view, where 64-bit Windows keeps MachineGuid: a value in the 32-bit view
# (Software\Wow6432Node) is never used. The first run creates the prefix (some seconds).
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
plain() {  # the plain identifier the DLL computes now
  set +e
  "$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$bin_windows" >"$out_raw"
  set -e
  tr -d '\r' <"$out_raw" | sed -n 's/^plain=\([^ ]*\) status=0$/\1/p'
}
# guid VIEW VALUE|none: MachineGuid in the registry's 32- or 64-bit view, or deleted.
guid() {
  if [ "$2" = none ]; then
    "$TARVO_RUNNER" reg delete "$key" /v MachineGuid /f "/reg:$1" >/dev/null 2>&1 || true
  else
    "$TARVO_RUNNER" reg add "$key" /v MachineGuid /t REG_SZ /d "$2" /f "/reg:$1" >/dev/null
  fi
}

guid 64 "$(printf 'g%.0s' {1..1000})"
expect_status "MachineGuid of 1000 characters" 234
guid 64 "$(printf 'g%.0s' {1..999})"
long=$(plain)
check "MachineGuid of 999 characters still fits" 44 "${#long}"

# The two views: only the 64-bit one counts.
guid 64 "8f1e2d3c-0000-4000-8000-000000000064"
guid 32 none
first=$(plain)
check "MachineGuid in the 64-bit view only is read" 44 "${#first}"
guid 32 "8f1e2d3c-0000-4000-8000-000000000032"
check "a MachineGuid in the 32-bit view changes nothing" "$first" "$(plain)"
guid 64 "8f1e2d3c-0000-4000-8000-000000000065"
second=$(plain)
check "the 64-bit view's value is the one digested" 1 \
  "$([ ${#second} -eq 44 ] && [ "$second" != "$first" ] && echo 1 || echo 0)"
guid 64 none
expect_status "missing MachineGuid (the 32-bit view's is not used)" 2

finish
