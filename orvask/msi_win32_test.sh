#!/usr/bin/env bash
# Orvask.exe under Wine against the real Windows Installer and GetDriveTypeA: packages
# built with wixl and installed per machine, drive V: mapped through the prefix's
# dosdevices with its type set in Wine's drive settings. Reaches 0, 61451, 61461,
# 61464 and 61474. Changes the test prefix and restores it at the end; CTest runs it
# alone (RESOURCE_LOCK), and it restarts the prefix's wineserver to apply drive types.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/wine.sh"

prefix=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix}
wine() { "$TARVO_RUNNER" "$@" >/dev/null 2>&1; }
wine cmd /c exit 0  # creates the prefix on first use

code_alpha='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000001}'
code_obrien='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000002}'
code_gamma='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000003}'
code_user='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000004}'
code_x64='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000005}'
name_alpha='Orvask Test Alpha'
name_obrien="O'Brien Orvask Test"
# Longer than the first buffer, and with a letter outside ASCII (the installer answers
# in the ANSI code page; the document escapes it, the database holds it in UTF-8).
gamma_tail="Gamma $(printf 'g%.0s' {1..290})"
name_gamma="Orvask Teste Avançado $gamma_tail"

install_msi() { wine msiexec /i "$orvask_root/$1.msi" /qn ALLUSERS=1; }
install_for_user() { wine msiexec /i "$orvask_root/$1.msi" /qn; }
uninstall() { wine msiexec /x "$1" /qn || true; }

# drive TYPE|none: V: mapped with that Wine drive type, or unmapped.
vdir="$orvask_root/vdrive"
mkdir -p "$vdir"
drive() { drive_v "$vdir" "$1"; }

restore() {
  for code in "$code_alpha" "$code_obrien" "$code_gamma" "$code_user" "$code_x64"; do uninstall "$code"; done
  drive none
}
restore
trap 'restore; rm -rf "$orvask_root" "$out_raw"' EXIT

make_msi "$orvask_root" "$code_alpha" "$name_alpha" 1.0.0 1
make_msi "$orvask_root" "$code_obrien" "$name_obrien" 2.1.0 2
make_msi "$orvask_root" "$code_gamma" "$name_gamma" 3.0.0 3
make_msi "$orvask_root" "$code_user" "Orvask Test Per User" 1.0.0 4 perUser
make_msi "$orvask_root" "$code_x64" "Orvask Test 64-bit" 5.0.0 5 x64
install_msi 1
install_msi 2
install_for_user 4
check "the per-user package is installed" 1 "$(find "$prefix/drive_c/users" -path '*OrvaskTest4/payload.txt' | wc -l)"
today=$(date +%Y%m%d)

fresh_dir
schema
# Black-listed: a product that is not installed, and one installed for the user only
# (not part of the machine's inventory).
sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('not installed', '{00000000-0000-0000-0000-000000000000}'), ('per user', '$code_user');"
drive_failed=$(document 61451 "Drive [V:] nao esta mapeado ou esta em estado de erro.")$'\n'

orvask VerifyMachine
check "V: not mapped" "$drive_failed" "$out"
for type in cdrom floppy ramdisk; do
  drive "$type"
  orvask VerifyMachine
  check "V: as $type" "$drive_failed" "$out"
done
check "white list untouched while the drive fails" 0 "$(sql "SELECT COUNT(*) FROM TBWhiteList")"

drive hd
orvask VerifyMachine
check "first run lists both products" "$(printf '%s' '{
	"success" : 
	{
		"error" : 
		{
			"id" : 61474,
			"message" : "Novo(s) software(s) instalado(s)."
		},
		"softwares" : 
		[
			{
				"dtInstall" : "TODAY",
				"name" : "Orvask Test Alpha",
				"path" : "C:\\OrvaskTest\\1",
				"uuid" : "{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000001}"
			},
			{
				"dtInstall" : "TODAY",
				"name" : "O'"'"'Brien Orvask Test",
				"path" : "C:\\OrvaskTest\\2",
				"uuid" : "{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000002}"
			}
		]
	}
}' | sed "s/TODAY/$today/")"$'\n' "$out"
check "first run stores both products" "$name_alpha|1.0.0|$code_alpha|C:\\OrvaskTest\\1|$today
$name_obrien|2.1.0|$code_obrien|C:\\OrvaskTest\\2|$today" \
  "$(sql "SELECT Name, Version, ProductCode, Path, Date FROM TBWhiteList ORDER BY ProductCode")"

orvask VerifyMachine
check "second run passes" "$(document 0 "Maquina liberada para uso.")"$'\n' "$out"

drive network
orvask VerifyMachine
check "V: as a network drive passes" 0 "$(verdict_id)"

# Gamma installed, Alpha removed: Gamma alone is new, Alpha leaves the white list.
install_msi 3
uninstall "$code_alpha"
orvask VerifyMachine
check "new product verdict" 61474 "$(verdict_id)"
check "only the new product is listed" "$code_gamma" "$(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out")"
check "a long name with a letter outside ASCII is read in full" "Orvask Teste Avan\\u00e7ado $gamma_tail" \
  "$(sed -n 's/.*"name" : "\(.*\)",/\1/p' <<<"$out")"
check "the white list stores that name in UTF-8" "$name_gamma" "$(sql "SELECT Name FROM TBWhiteList WHERE ProductCode = '$code_gamma'")"
check "white list follows the machine" "$code_obrien
$code_gamma" "$(sql "SELECT ProductCode FROM TBWhiteList ORDER BY ProductCode")"
orvask VerifyMachine
check "then passes again" 0 "$(verdict_id)"

# Black-listing the product with an apostrophe: reported before the drive is examined.
orvask UpdateBlackList "$(b64 '{"content":[{"name":"O'\''Brien Orvask Test","productcode":"'"$code_obrien"'","version":"2.1.0"}]}')"
check "update" 61465 "$(verdict_id)"
drive none
orvask VerifyMachine
check "black-listed product found without V:" 61464 "$(verdict_id)"
check "the listed product keeps its apostrophe" "1" "$(grep -c "\"name\" : \"O'Brien Orvask Test\"" <<<"$out")"
check "black list stores the name unchanged" "$name_obrien" "$(sql "SELECT Name FROM TBBlackList WHERE ProductCode = '$code_obrien'")"
check "and matches it by product code" 1 "$(grep -c '"uuid"' <<<"$out")"

# A 64-bit product: installed in the 64-bit Program Files, listed by the 32-bit
# Orvask among the machine's products like the 32-bit ones.
install_msi 5
check "the 64-bit package is in the 64-bit Program Files, the 32-bit ones in Program Files (x86)" "1 1" \
  "$(find "$prefix/drive_c/Program Files/OrvaskTest5" -name payload.txt | wc -l) $(find "$prefix/drive_c/Program Files (x86)/OrvaskTest2" -name payload.txt | wc -l)"
orvask UpdateBlackList "$(b64 '{"content":[{"name":"Orvask Test 64-bit","productcode":"'"$code_x64"'","version":"5.0.0"}]}')"
orvask VerifyMachine
check "black-listed 32-bit and 64-bit products are both found" "61464 $code_obrien $code_x64" \
  "$(verdict_id) $(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out" | xargs)"

sql "DELETE FROM TBBlackList;"
drive cdrom
orvask VerifyMachine
check "empty black list comes first" "$(document 61461 "BlackList vazia.")"$'\n' "$out"

finish
