#!/usr/bin/env bash
# The toolset's Windows Installer package under Wine's msiexec, per machine, in the
# build's Wine prefix: install; the programs and the library at work from the installed
# folder (ankor's version, Orvask finding the toolset itself in the inventory under its
# product code with V: mapped, the DLL through the Windows test caller); a black-list
# update; a major upgrade to a package built with a higher version that keeps both
# lists and adds the developer feature; a refused downgrade; removal, which takes the
# programs and keeps Orvask.db. The prefix is restored on every way out.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/wine.sh"
: "${TARVO_MSI:?run through ctest}"

prefix=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix}
wine() { "$TARVO_RUNNER" "$@" >/dev/null 2>&1; }
wine cmd /c exit 0  # creates the prefix on first use
# The prefix is 32-bit: the 32-bit Program Files is C:\Program Files.
folder="$prefix/drive_c/Program Files/Tarvo"
folder_windows='C:\Program Files\Tarvo'

work=$(mktemp -d)
vdir="$work/vdrive"
mkdir -p "$vdir"
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }

# drive TYPE|none: V: mapped with that Wine drive type, or unmapped.
drive() { drive_v "$vdir" "$1"; }

"$TARVO_SOURCE_DIR/packaging/msi/build-msi.sh" --version 1.2.9 "$TARVO_BIN" "$work/tarvo-1.2.9.msi" >/dev/null
code=$(product_code "$TARVO_MSI")
code_next=$(product_code "$work/tarvo-1.2.9.msi")
check "package version" 1.2.8 "$(msiinfo export "$TARVO_MSI" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')"
check "each version is its own product" 1 "$([ -n "$code" ] && [ "$code" != "$code_next" ] && echo 1 || echo 0)"

restore() {
  if [ -e "$folder/ankor.exe" ]; then
    wine msiexec /x "$code" /qn || true
    wine msiexec /x "$code_next" /qn || true
  fi
  rm -rf "$folder"  # Orvask.db and the log stay after removal by design
  if [ -L "$prefix/dosdevices/v:" ]; then drive none; fi
}
restore
trap 'restore; rm -rf "$work" "$out_raw"' EXIT
trap 'exit 130' INT TERM

msiexec() {  # msiexec ARGS...: $status is msiexec's exit status
  set +e
  wine msiexec "$@"
  status=$?
  set -e
}
# installed PROGRAM ARGS...: runs an installed program in the installed folder.
installed() {
  local program=$1; shift
  set +e
  (cd "$folder" && "$TARVO_RUNNER" "$folder/$program.exe" "$@") >"$out_raw"
  status=$?
  set -e
  out=$(tr -d '\r' <"$out_raw")
}
verdict() { sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' <<<"$out"; }
listed() { sed -n 's/^\t\t\t\t"uuid" : "\(.*\)"$/\1/p' <<<"$out" | sort | tr '\n' ' '; }
db() { sqlite3 "$folder/Orvask.db" "$@"; }
present() { local file; for file in "$@"; do [ -e "$folder/$file" ] && echo "$file"; done; true; }

programs="ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll"
developer="include/TarvoHostmark.h java/org/tarvo/hostmark/Hostmark.java java/org/tarvo/hostmark/HostmarkCallback.java"

# --- install, per machine, default features
msiexec /i "$TARVO_MSI" /qn
check "install" 0 "$status"
check "programs, library and database in one folder, no developer files" \
  "$(tr ' ' '\n' <<<"$programs Orvask.db")" "$(present $programs Orvask.db $developer)"
check "the database has the two tables" "TBBlackList TBWhiteList" "$(db .tables | xargs)"

installed ankor system info version
check "installed ankor.exe answers its version" "$(envelope success '"1.2.8"')" "$out"

# Orvask from its folder, with its installed database: the toolset is a new product.
drive hd
black='{"content":[{"name":"Not Installed","productcode":"{00000000-0000-0000-0000-0000000000B1}","version":"1"}]}'
installed Orvask UpdateBlackList "$(printf '%s' "$black" | base64 -w0)"
check "black-list update" 61465 "$(verdict)"
installed Orvask VerifyMachine
check "first verification reports new products" 61474 "$(verdict)"
check "the toolset is in the inventory under its product code" 1 "$(grep -cF "\"uuid\" : \"$code\"" <<<"$out")"
check "with its name and folder" 1 "$(grep -A3 -F '"name" : "Tarvo client certificate toolset"' <<<"$out" \
  | grep -cF '"path" : "C:\\Program Files\\Tarvo\\"')"
installed Orvask VerifyMachine
check "second verification clears the machine" 0 "$(verdict)"
white=$(db "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")

# The DLL from the installed folder, through the Windows test caller.
set +e
"$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$folder_windows" >"$out_raw"
status=$?
set -e
out=$(tr -d '\r' <"$out_raw")
check "the installed DLL passes the caller's checks" 0 "$status"
check "and computes the identifier" 1 "$(grep -cE '^plain=[0-9A-F]{8}(-[0-9A-F]{8}){4}' <<<"$out")"

# --- major upgrade to 1.2.9 with the developer feature: the lists stay
msiexec /i "$work/tarvo-1.2.9.msi" /qn ADDLOCAL=ALL
check "upgrade" 0 "$status"
check "after the upgrade: programs, database and developer files" \
  "$(tr ' ' '\n' <<<"$programs Orvask.db $developer")" "$(present $programs Orvask.db $developer)"
check "black list kept" "Not Installed" "$(db "SELECT Name FROM TBBlackList")"
check "white list kept" "$white" "$(db "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")"
installed Orvask VerifyMachine
check "the upgraded product replaces the old one" "61474 $code_next " "$(verdict) $(listed)"
check "the old product left the white list" 0 "$(db "SELECT COUNT(*) FROM TBWhiteList WHERE ProductCode = '$code'")"

# --- a lower version is refused and changes nothing
msiexec /i "$TARVO_MSI" /qn
check "downgrade refused" 1 "$([ "$status" -ne 0 ] && echo 1 || echo 0)"
installed Orvask VerifyMachine
check "the installed products are unchanged" 0 "$(verdict)"

# --- removal: programs and developer files go, Orvask.db with its lists stays
msiexec /x "$code_next" /qn
check "removal" 0 "$status"
check "only the database is left" "Orvask.db" "$(present $programs Orvask.db $developer)"
check "its lists are intact" "Not Installed" "$(db "SELECT Name FROM TBBlackList")"
# Orvask of the build, in the same folder: the product has left the inventory.
set +e
(cd "$folder" && "$TARVO_RUNNER" "$(exe Orvask)" VerifyMachine) >"$out_raw"
set -e
out=$(tr -d '\r' <"$out_raw")
check "the removed product leaves the inventory" 0 "$(verdict)"
check "and the white list" 0 "$(db "SELECT COUNT(*) FROM TBWhiteList WHERE ProductCode = '$code_next'")"

finish
