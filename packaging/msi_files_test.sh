#!/usr/bin/env bash
# The files the Windows Installer package carries, without Wine: each binary's
# application manifest (asInvoker, Windows 7 to 11) and version block (1.2.8, product,
# company, description, original name) as python3-pefile reads them; the versions in
# the MSI's File table; the packed binaries stripped, with their debug sections kept
# beside the build and named by a debug link; and the rules the package adds to wixl's
# tables (per machine before anything reads ALLUSERS, the data folder's access control).
source "$TARVO_SOURCE_DIR/tests/lib.sh"
: "${TARVO_MSI:?run through ctest}"
version=$(sed -n 's/^project(tarvo VERSION \([0-9.]*\) .*/\1/p' "$TARVO_SOURCE_DIR/CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT
# Debian's python3, where python3-pefile is installed.
pefile_python=/usr/bin/python3

# resources FILE: the manifest's resource id and the facts of interest, one per line.
resources() {
  "$pefile_python" - "$1" <<'PY'
import re, sys, pefile
pe = pefile.PE(sys.argv[1])
for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if entry.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
        continue
    for name in entry.directory.entries:
        data = name.directory.entries[0].data.struct
        text = pe.get_data(data.OffsetToData, data.Size).decode()
        print("manifest id", name.id)
        print("level", re.search(r'requestedExecutionLevel level="([^"]*)"', text).group(1))
        print("supportedOS", " ".join(re.findall(r'supportedOS Id="\{([^}]*)\}"', text)))
fixed = pe.VS_FIXEDFILEINFO[0]
print("fixed file version %d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                                         fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF))
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            for key in (b"FileVersion", b"ProductVersion", b"ProductName", b"CompanyName",
                        b"OriginalFilename"):
                print(key.decode(), table.entries.get(key, b"").decode())
            print("FileDescription given", 1 if table.entries.get(b"FileDescription") else 0)
PY
}
windows7_to_11="35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"
for file in ankor.exe:1 Orvask.exe:1 TarvoHostmark_V_1_0_1_0.dll:2; do
  name=${file%:*}
  check "$name: manifest, version block" "manifest id ${file#*:}
level asInvoker
supportedOS $windows7_to_11
fixed file version $version.0
FileVersion $version
ProductVersion $version
ProductName Tarvo client certificate toolset
CompanyName Tarvo
OriginalFilename $name
FileDescription given 1" "$(resources "$TARVO_BIN/$name")"
done

table() { msiinfo export "$TARVO_MSI" "$1" | tr -d '\r' | tail -n +4; }
check "the File table carries the binaries' versions" "ankor.exe $version.0
Orvask.exe $version.0
TarvoHostmark_V_1_0_1_0.dll $version.0" \
  "$(table File | awk -F'\t' '$5 != "" { print $3, $5 }' | LC_ALL=C sort -f)"

# The packed binaries: stripped, smaller than the build's, with a debug link to files
# that hold the debug sections.
(cd "$work" && msiextract "$TARVO_MSI" >/dev/null)
debug_dir="$TARVO_BUILD_DIR/debug"
for name in ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll; do
  packed="$work/Program Files/Tarvo/$name"
  sections=$(i686-w64-mingw32-objdump -h "$packed" | awk '{ print $2 }')
  check "$name packed without debug sections" 0 "$(grep -c '^\.debug_' <<<"$sections" || true)"
  check "$name packed smaller than built" 1 "$([ "$(stat -c %s "$packed")" -lt "$(stat -c %s "$TARVO_BIN/$name")" ] && echo 1 || echo 0)"
  check "$name links its debug file" "$name.debug" \
    "$(i686-w64-mingw32-objcopy --dump-section .gnu_debuglink=/dev/stdout "$packed" "$work/scratch" | tr '\0' '\n' | head -1)"
  check "$name.debug holds the debug information" 1 \
    "$(i686-w64-mingw32-objdump -h "$debug_dir/$name.debug" | grep -c ' \.debug_info ' || true)"
done

# What the build script adds to wixl's tables.
sequence() { table "$1" | awk -F'\t' -v action="$2" '$1 == action { print $3 }'; }
for sequence_table in InstallUISequence InstallExecuteSequence; do
  check "$sequence_table: ALLUSERS=1 before FindRelatedProducts" 1 \
    "$([ "$(sequence "$sequence_table" PerMachine)" -lt "$(sequence "$sequence_table" FindRelatedProducts)" ] && echo 1 || echo 0)"
done
check "ALLUSERS=1 is what PerMachine sets" "ALLUSERS 1" "$(table CustomAction | awk -F'\t' '$1 == "PerMachine" { print $3, $4 }')"
check "the data folder's access control" "DATADIR CreateFolder D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)" \
  "$(table MsiLockPermissionsEx | awk -F'\t' '{ print $2, $3, $4 }')"
check "Orvask.db: Permanent and NeverOverwrite" 144 "$(table Component | awk -F'\t' '$1 == "MachineData" { print $4 }')"

finish
