#!/usr/bin/env bash
# The Windows DLL under Wine, called by a small Windows program through LoadLibraryA and
# GetProcAddress: the plain identifier equals the SHA-1, formatted, of the fixed disks'
# serial numbers, the BIOS serial number and the MachineGuid as Wine itself reports them
# (wmic, reg query); the proxy switch changes nothing there; keyed identifiers are stable
# per key and differ between keys and from the plain one.
source "$TARVO_SOURCE_DIR/tests/lib.sh"

# wmic writes UTF-16 with CR LF; columns are padded with spaces.
wmic_text() { "$TARVO_RUNNER" wmic "$@" | iconv -f UTF-16 -t UTF-8 | tr -d '\r' | sed 's/^\xEF\xBB\xBF//'; }

# Fixed disks' serials in the order listed (serials with trailing spaces cannot be told
# from column padding here; Wine's have none).
disks=$(wmic_text diskdrive get MediaType,SerialNumber | awk '
  NR == 1 { column = index($0, "SerialNumber"); next }
  column > 0 {
    media = substr($0, 1, column - 1); sub(/ +$/, "", media)
    serial = substr($0, column); sub(/ +$/, "", serial)
    if (media == "Fixed hard disk media" || media == "Fixed hard disk") printf "%s", serial
  }')
bios=$(wmic_text bios get SerialNumber | awk 'NR > 1 { sub(/ +$/, ""); printf "%s", $0 }')
# MachineGuid lives in the registry's 64-bit view (as on 64-bit Windows), which the
# 32-bit reg.exe reads with /reg:64.
guid=$("$TARVO_RUNNER" reg query 'HKLM\SOFTWARE\Microsoft\Cryptography' /v MachineGuid /reg:64 \
  | tr -d '\r' | sed -n 's/^ *MachineGuid *REG_SZ *//p')
check "Wine reports a disk serial" 1 "$([ -n "$disks" ] && echo 1 || echo 0)"
check "Wine reports a MachineGuid" 1 "$([ -n "$guid" ] && echo 1 || echo 0)"

digest=$(printf '%s' "$disks$bios$guid" | sha1sum | cut -c1-40 | tr a-f A-F)
expected="${digest:0:8}-${digest:8:8}-${digest:16:8}-${digest:24:8}-${digest:32:8}"

bin_windows="Z:${TARVO_BIN//\//\\}"
set +e
"$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$bin_windows" >"$out_raw"
status=$?
set -e
out=$(tr -d '\r' <"$out_raw")
printf '%s\n' "$out"
value() { sed -n "s/^$1=\([^ ]*\).*/\1/p" <<<"$out"; }

check "test program's own checks" 0 "$status"
check "plain identifier = SHA-1 of '$disks$bios$guid'" "$expected" "$(value plain)"
check "secure proxy variant" "$expected" "$(value secure)"
check "keyed identifier stable across switches" "$(value keyed-a)" "$(value keyed-a-secure)"
check "keyed identifier format" 1 \
  "$(grep -cE '^[0-9A-F]{8}(-[0-9A-F]{8}){4}$' <<<"$(value keyed-a)")"
check "keys give different identifiers" 1 "$([ "$(value keyed-a)" != "$(value keyed-b)" ] && echo 1 || echo 0)"
check "keyed differs from plain" 1 "$([ "$(value keyed-a)" != "$expected" ] && echo 1 || echo 0)"
check "MTA caller refused" 0x80010106 "$(value mta-status)"

finish
