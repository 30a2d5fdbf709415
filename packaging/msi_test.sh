#!/usr/bin/env bash
# The toolset's Windows Installer package under Wine's msiexec in the build's 64-bit
# (WoW64) prefix: a first installation without the programs is refused; a per-machine
# installation with the programs in Program Files (x86), Orvask.db in
# %ProgramData%\Tarvo, with the Add/Remove Programs entry in the registry's 32-bit view;
# ADDLOCAL=Development installs the programs too; the programs and the library at work
# from the installed folder (ankor's version, Orvask started in the data folder finding
# the toolset in the inventory under its product code with V: mapped, the DLL through
# the Windows test caller); a database under Program Files that Orvask may not write
# answers "error"; a major
# upgrade without ADDLOCAL that keeps the lists and the installed features; a refused
# downgrade; removal, which takes the programs and keeps Orvask.db; and an upgrade from
# the layout of 1.2.8 (Orvask.db in the program folder) that moves the lists to the data
# folder. The prefix is restored on every way out.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/wine.sh"
: "${TARVO_MSI:?run through ctest}"

prefix=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix}
wine() { "$TARVO_RUNNER" "$@" >/dev/null 2>&1; }
wine cmd /c exit 0  # creates the prefix on first use
# The prefix is 64-bit: the 32-bit Program Files is C:\Program Files (x86).
folder="$prefix/drive_c/Program Files (x86)/Tarvo"
folder_windows='C:\Program Files (x86)\Tarvo'
data="$prefix/drive_c/ProgramData/Tarvo"
uninstall_key='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'

work=$(mktemp -d)
vdir="$work/vdrive"
mkdir -p "$vdir"
property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t//p"; }

# drive TYPE|none: V: mapped with that Wine drive type, or unmapped.
drive() { drive_v "$vdir" "$1"; }

"$TARVO_SOURCE_DIR/packaging/msi/build-msi.sh" --version 1.2.9 "$TARVO_BIN" "$work/tarvo-1.2.9.msi" >/dev/null
code=$(property "$TARVO_MSI" ProductCode)
code_next=$(property "$work/tarvo-1.2.9.msi" ProductCode)
check "package version" 1.2.8 "$(property "$TARVO_MSI" ProductVersion)"
check "each version is its own product" 1 "$([ -n "$code" ] && [ "$code" != "$code_next" ] && echo 1 || echo 0)"

# A package of 1.2.8's layout (the programs and Orvask.db in [ProgramFilesFolder]Tarvo),
# as that version's build script made it.
code_old='{6E1C3A5B-2F4D-5E60-8A7B-9C0D1E2F3A4B}'
mkdir "$work/old"
cp "$TARVO_BIN/ankor.exe" "$TARVO_BIN/Orvask.exe" "$TARVO_BIN/TarvoHostmark_V_1_0_1_0.dll" \
  "$TARVO_SOURCE_DIR/hostmark/TarvoHostmark.h" "$TARVO_SOURCE_DIR"/hostmark/java/org/tarvo/hostmark/*.java "$work/old/"
sqlite3 "$work/old/Orvask.db" <"$TARVO_SOURCE_DIR/orvask/schema.sql"
(cd "$work/old" && wixl -D Version=1.2.8 -D ProductCode="$code_old" -o "$work/old-layout.msi" \
  "$TARVO_SOURCE_DIR/packaging/msi/testing/layout-1.2.8.wxs")
msibuild "$work/old-layout.msi" -q "UPDATE Component SET Attributes = 144 WHERE Component = 'Database'"

immutable=""
restore() {
  local product
  if [ -n "$immutable" ]; then chattr -i "$immutable" || true; fi
  for product in "$code" "$code_next" "$code_old"; do
    if [ -n "$product" ]; then wine msiexec /x "$product" /qn || true; fi
  done
  rm -rf "$folder" "$data"  # Orvask.db and the log stay after removal by design
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
# installed PROGRAM DIR ARGS...: runs an installed program with DIR as working directory.
installed() {
  local program=$1 dir=$2; shift 2
  set +e
  (cd "$dir" && "$TARVO_RUNNER" "$folder/$program.exe" "$@") >"$out_raw"
  status=$?
  set -e
  out=$(tr -d '\r' <"$out_raw")
}
verdict() { sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' <<<"$out"; }
listed() { sed -n 's/^\t\t\t\t"uuid" : "\(.*\)"$/\1/p' <<<"$out" | sort | tr '\n' ' '; }
db() { sqlite3 "$data/Orvask.db" "$@"; }
present() { local file; for file in "$@"; do [ -e "$folder/$file" ] && echo "$file"; done; true; }
# registered CODE: 1 when the product has its Add/Remove Programs entry (per machine).
registered() {
  "$TARVO_RUNNER" reg query "$uninstall_key\\$1" /reg:64 >/dev/null 2>&1 && echo 1 || echo 0
}
arp() {  # arp CODE VALUE: a value of the product's Add/Remove Programs entry
  "$TARVO_RUNNER" reg query "$uninstall_key\\$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' \
    | sed -n "s/^ *$2 *REG_[A-Z]* *//p"
}

programs="ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll"
developer="include/TarvoHostmark.h java/org/tarvo/hostmark/Hostmark.java java/org/tarvo/hostmark/HostmarkCallback.java"

# --- a first installation without the programs fails and installs nothing
msiexec /i "$TARVO_MSI" /qn REMOVE=Programs
check "REMOVE=Programs on a first installation fails" 1 "$([ "$status" -ne 0 ] && echo 1 || echo 0)"
check "and installs nothing" "0 " "$(registered "$code") $(present $programs $developer)"

# --- default features, per machine. (The package sets ALLUSERS=1 again before anything
# reads it, so that ALLUSERS="" on the command line cannot make a per-user installation;
# Wine's msiexec fixes the context from the command line before any action runs, so
# that is not shown here.)
msiexec /i "$TARVO_MSI" /qn
check "install" 0 "$status"
check "per machine: Add/Remove Programs entry in the machine's 32-bit view" 1 "$(registered "$code")"
check "programs in Program Files (x86), no developer files" "$(tr ' ' '\n' <<<"$programs")" \
  "$(present $programs $developer)"
check "Orvask.db in %ProgramData%\\Tarvo with the two tables" "TBBlackList TBWhiteList" "$(db .tables | xargs)"
check "no database in the program folder" "" "$(present Orvask.db)"
check "Add/Remove Programs: no Change button, help link, contact" \
  "0x1|https://tarvo.example/toolset/support|Tarvo toolset team <toolset@tarvo.example>" \
  "$(arp "$code" NoModify)|$(arp "$code" HelpLink)|$(arp "$code" Contact)"
drive hd
black='{"content":[{"name":"Not Installed","productcode":"{00000000-0000-0000-0000-0000000000B1}","version":"1"}]}'
installed Orvask "$data" UpdateBlackList "$(printf '%s' "$black" | base64 -w0)"
installed Orvask "$data" VerifyMachine
check "Orvask's machine inventory sees it" 1 "$(grep -cF "\"uuid\" : \"$code\"" <<<"$out")"
drive none
msiexec /x "$code" /qn
check "removal" "0 0" "$status $(registered "$code")"
rm -rf "$data"

# --- ADDLOCAL=Development: the developer files and the programs they are for
msiexec /i "$TARVO_MSI" /qn ADDLOCAL=Development
check "install with ADDLOCAL=Development" 0 "$status"
check "programs and developer files" "$(tr ' ' '\n' <<<"$programs $developer")" \
  "$(present $programs $developer)"

installed ankor "$folder" system info version
check "installed ankor.exe answers its version" "$(envelope success '"1.2.8"')" "$out"

# Orvask started in the data folder, with the installed database: the toolset is new.
drive hd
installed Orvask "$data" UpdateBlackList "$(printf '%s' "$black" | base64 -w0)"
check "black-list update" 61465 "$(verdict)"
installed Orvask "$data" VerifyMachine
check "first verification reports new products" 61474 "$(verdict)"
check "the toolset is in the inventory under its product code" 1 "$(grep -cF "\"uuid\" : \"$code\"" <<<"$out")"
check "with its name and folder" 1 "$(grep -A3 -F '"name" : "Tarvo client certificate toolset"' <<<"$out" \
  | grep -cF '"path" : "C:\\Program Files (x86)\\Tarvo\\"')"
check "the log is written in the data folder" 1 "$([ -s "$data/OrvaskApp.log" ] && echo 1 || echo 0)"
installed Orvask "$data" VerifyMachine
check "second verification clears the machine" 0 "$(verdict)"
white=$(db "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")

# A host without rights that runs Orvask under Program Files, as 1.2.8's layout had it:
# the write is refused and Orvask answers "error". Wine has no UAC (every program runs
# with an administrator's rights, and no write is ever virtualized, with or without a
# manifest), so an immutable file (chattr +i, which even root cannot write) stands for
# the missing right.
sqlite3 "$folder/Orvask.db" <"$TARVO_SOURCE_DIR/orvask/schema.sql"
if chattr +i "$folder/Orvask.db" 2>/dev/null; then
  immutable="$folder/Orvask.db"
  installed Orvask "$folder" UpdateBlackList "$(printf '%s' "$black" | base64 -w0)"
  check "an update Orvask may not store answers error" error "$out"
  check "with the reason in the log" 1 "$(grep -c 'BlackList nao atualizada: ' "$folder/OrvaskApp.log" || true)"
  check "the database is unchanged" 0 "$(sqlite3 "$folder/Orvask.db" "SELECT COUNT(*) FROM TBBlackList")"
  chattr -i "$folder/Orvask.db"
  immutable=""
else
  echo "NOTE: chattr +i is not permitted here: the refused write is not checked"
fi
rm -f "$folder/Orvask.db" "$folder/OrvaskApp.log"

# The DLL from the installed folder, through the Windows test caller.
set +e
"$TARVO_RUNNER" "$HOSTMARK_DLL_TEST" "$folder_windows" >"$out_raw"
status=$?
set -e
out=$(tr -d '\r' <"$out_raw")
check "the installed DLL passes the caller's checks" 0 "$status"
check "and computes the identifier" 1 "$(grep -cE '^plain=[0-9A-F]{8}(-[0-9A-F]{8}){4}' <<<"$out")"

# --- major upgrade to 1.2.9 without ADDLOCAL: the lists and the features stay
msiexec /i "$work/tarvo-1.2.9.msi" /qn
check "upgrade" 0 "$status"
check "the old version is removed" "0 1" "$(registered "$code") $(registered "$code_next")"
check "after the upgrade: programs and developer files (the installed features)" \
  "$(tr ' ' '\n' <<<"$programs $developer")" "$(present $programs $developer)"
check "black list kept" "Not Installed" "$(db "SELECT Name FROM TBBlackList")"
check "white list kept" "$white" "$(db "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")"
installed Orvask "$data" VerifyMachine
check "the upgraded product replaces the old one" "61474 $code_next " "$(verdict) $(listed)"
check "the old product left the white list" 0 "$(db "SELECT COUNT(*) FROM TBWhiteList WHERE ProductCode = '$code'")"

# --- a lower version is refused and changes nothing
msiexec /i "$TARVO_MSI" /qn
check "downgrade refused" 1 "$([ "$status" -ne 0 ] && echo 1 || echo 0)"
installed Orvask "$data" VerifyMachine
check "the installed products are unchanged" 0 "$(verdict)"

# --- removal: programs and developer files go, Orvask.db with its lists stays
msiexec /x "$code_next" /qn
check "removal" 0 "$status"
check "nothing is left in the program folder" "" "$(present $programs Orvask.db $developer)"
check "Orvask.db is left in the data folder with its lists" "Not Installed" "$(db "SELECT Name FROM TBBlackList")"
# Orvask of the build, in the data folder: the product has left the inventory.
set +e
(cd "$data" && "$TARVO_RUNNER" "$(exe Orvask)" VerifyMachine) >"$out_raw"
set -e
out=$(tr -d '\r' <"$out_raw")
check "the removed product leaves the inventory" 0 "$(verdict)"
check "and the white list" 0 "$(db "SELECT COUNT(*) FROM TBWhiteList WHERE ProductCode = '$code_next'")"
rm -rf "$data" "$folder"

# --- from 1.2.8's layout: the lists move from the program folder to the data folder
msiexec /i "$work/old-layout.msi" /qn
check "install of the old layout" 0 "$status"
installed Orvask "$folder" UpdateBlackList "$(printf '%s' "$black" | base64 -w0)"
installed Orvask "$folder" VerifyMachine
old_white=$(sqlite3 "$folder/Orvask.db" "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")
check "the old layout's lists, in the program folder" "Not Installed|$code_old" \
  "$(sqlite3 "$folder/Orvask.db" "SELECT Name FROM TBBlackList")|$old_white"
msiexec /i "$work/tarvo-1.2.9.msi" /qn
check "upgrade from the old layout" "0 0 1" "$status $(registered "$code_old") $(registered "$code_next")"
check "black list moved to the data folder" "Not Installed" "$(db "SELECT Name FROM TBBlackList")"
check "white list moved with it" "$old_white" "$(db "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")"
check "no database left in the program folder" "" "$(present Orvask.db)"
installed Orvask "$data" VerifyMachine
check "the next verification sees the upgrade" "61474 $code_next " "$(verdict) $(listed)"
msiexec /x "$code_next" /qn
check "removal after the move keeps the lists" "0 Not Installed" "$status $(db "SELECT Name FROM TBBlackList")"

finish
