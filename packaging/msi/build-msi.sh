#!/usr/bin/env bash
# Builds the toolset's Windows Installer package from a win32 build:
#   packaging/msi/build-msi.sh [--version X.Y.Z] BIN_DIR OUTPUT.msi
# BIN_DIR holds ankor.exe, Orvask.exe and TarvoHostmark_V_1_0_1_0.dll (build/win32/bin).
# The package version is the program version unless --version overrides it (an
# upgrade package for tests, or a rebuild that must replace an installed one).
# Needs wixl, msibuild (msitools), sqlite3 and i686-w64-mingw32-objcopy; osslsigncode
# when signing.
#
# The package carries stripped copies of the binaries; the debug sections go to
# DEBUG_DIR/<file>.debug (default: BIN_DIR/../debug), which each stripped copy names in
# its .gnu_debuglink for a debugger or a crash dump analysis.
#
# Authenticode signing (optional; the binaries before they are packed, the MSI after),
# from the environment (the build passes the CMake cache variables of the same names):
#   TARVO_SIGN_PKCS12         a PKCS#12 file with the code-signing key and certificate
#   TARVO_SIGN_CERT, TARVO_SIGN_KEY
#                             or a PEM (or DER) certificate chain file and its key file,
#   TARVO_SIGN_PKCS11_MODULE  or, with this PKCS#11 module, TARVO_SIGN_KEY is the key's
#                             pkcs11: URI on a token (libp11's OpenSSL engine,
#                             TARVO_SIGN_PKCS11_ENGINE, default engines-3/pkcs11.so)
#   TARVO_SIGN_PASSWORD_FILE  a file holding the PKCS#12 or key password, or the token's
#                             PIN (optional)
#   TARVO_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping service (optional)
# Without TARVO_SIGN_PKCS12 or TARVO_SIGN_CERT nothing is signed.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(tarvo VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
if [ "${1:-}" = --version ]; then
  version=$2
  shift 2
fi
if [ $# -ne 2 ]; then
  echo "usage: $0 [--version X.Y.Z] BIN_DIR OUTPUT.msi" >&2
  exit 2
fi
bin=$1 output=$2
# Windows Installer compares the first three fields, each within its own range.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] \
   || [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "build-msi: version '$version' is not MAJOR.MINOR.BUILD (255.255.65535 at most)" >&2
  exit 2
fi
objcopy=${TARVO_OBJCOPY:-i686-w64-mingw32-objcopy}
debug_dir=${TARVO_DEBUG_DIR:-$bin/../debug}
signing=""
if [ -n "${TARVO_SIGN_PKCS12:-}" ]; then
  signing=(-pkcs12 "$TARVO_SIGN_PKCS12")
elif [ -n "${TARVO_SIGN_CERT:-}" ]; then
  [ -n "${TARVO_SIGN_KEY:-}" ] || { echo "build-msi: TARVO_SIGN_CERT needs TARVO_SIGN_KEY" >&2; exit 2; }
  if [ -n "${TARVO_SIGN_PKCS11_MODULE:-}" ]; then
    engine=${TARVO_SIGN_PKCS11_ENGINE:-}
    if [ -z "$engine" ]; then
      for engine in /usr/lib/*/engines-3/pkcs11.so; do break; done
    fi
    [ -f "$engine" ] || { echo "build-msi: no PKCS#11 engine '$engine' (package libengine-pkcs11-openssl)" >&2; exit 1; }
    signing=(-pkcs11engine "$engine" -pkcs11module "$TARVO_SIGN_PKCS11_MODULE"
      -certs "$TARVO_SIGN_CERT" -key "$TARVO_SIGN_KEY")
  else
    signing=(-certs "$TARVO_SIGN_CERT" -key "$TARVO_SIGN_KEY")
  fi
fi
tools="wixl msibuild sqlite3 $objcopy"
[ -n "$signing" ] && tools="$tools osslsigncode"
for tool in $tools; do
  command -v "$tool" >/dev/null || { echo "build-msi: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
if [ -n "$signing" ]; then
  [ -n "${TARVO_SIGN_PASSWORD_FILE:-}" ] && signing+=(-readpass "$TARVO_SIGN_PASSWORD_FILE")
  [ -n "${TARVO_SIGN_TIMESTAMP_URL:-}" ] && signing+=(-ts "$TARVO_SIGN_TIMESTAMP_URL")
  signing+=(-h sha256 -n "Tarvo client certificate toolset" -i "https://tarvo.example/toolset")
fi
# sign FILE: signs FILE in place with the deployer's certificate.
sign() {
  osslsigncode sign "${signing[@]}" -in "$1" -out "$1.signed" >"$stage/sign.log" 2>&1 \
    || { cat "$stage/sign.log" >&2; echo "build-msi: signing $(basename "$1") failed" >&2; exit 1; }
  mv "$1.signed" "$1"
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$debug_dir"
for file in ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll; do
  [ -f "$bin/$file" ] || { echo "build-msi: $bin/$file is missing (build the win32 preset first)" >&2; exit 1; }
  "$objcopy" --only-keep-debug "$bin/$file" "$debug_dir/$file.debug"
  "$objcopy" --strip-all --add-gnu-debuglink="$debug_dir/$file.debug" "$bin/$file" "$stage/$file"
  if [ -n "$signing" ]; then sign "$stage/$file"; fi
done
cp "$root/hostmark/TarvoHostmark.h" "$root/hostmark/java/org/tarvo/hostmark/Hostmark.java" \
  "$root/hostmark/java/org/tarvo/hostmark/HostmarkCallback.java" "$stage/"
sqlite3 "$stage/Orvask.db" <"$root/orvask/schema.sql"

# Product code: a name-based UUID (SHA-1, version 5) of the package version, so a
# rebuild of one version is the same product and every other version a different one.
hash=$(printf 'tarvo-toolset-msi %s' "$version" | sha1sum)
variant=$(printf '%x' $(( (0x${hash:16:1} & 0x3) | 0x8 )))
product_code=$(printf '{%s-%s-5%s-%s%s-%s}' "${hash:0:8}" "${hash:8:4}" "${hash:13:3}" \
  "$variant" "${hash:17:3}" "${hash:20:12}" | tr a-f A-F)

mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
rm -f "$output"
# wixl takes sources relative to where it runs.
(cd "$stage" && wixl -D Version="$version" -D ProductCode="$product_code" \
  -o "$output" "$root/packaging/msi/tarvo.wxs")

# What wixl cannot express, in the built tables.
query() { msibuild "$output" -q "$1"; }
# file_version FILE: the file version of a PE file's VERSIONINFO block (the fixed part,
# found by its signature 0xFEEF04BD), as Windows Installer's File table holds it.
file_version() {
  python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("build-msi: %s has no version block" % sys.argv[1])
ms, ls = struct.unpack_from("<II", data, at + 8)
print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))' "$1"
}
# The binaries' versions (wixl leaves them out): an installer replaces a file by the
# rules for versioned files, and inventory tools see the version without opening it.
for entry in AnkorExe:ankor.exe OrvaskExe:Orvask.exe HostmarkDll:TarvoHostmark_V_1_0_1_0.dll; do
  query "UPDATE File SET Version = '$(file_version "$stage/${entry#*:}")', Language = '1033' WHERE File = '${entry%%:*}'"
  # A hash is for unversioned files only.
  query "DELETE FROM MsiFileHash WHERE File_ = '${entry%%:*}'"
done
# Orvask.db: Permanent (16) + NeverOverwrite (128), which wixl drops; not installed where
# an older package's database is found in the program folder, since that one is moved in.
query "UPDATE Component SET Attributes = 144, Condition = 'NOT OLDDATABASE' WHERE Component = 'MachineData'"
# OLDDATABASE: the full path of Orvask.db in [ProgramFilesFolder]Tarvo, where packages up
# to 1.2.8 kept it, if it is there.
query "CREATE TABLE DrLocator (Signature_ CHAR(72) NOT NULL, Parent CHAR(72), Path CHAR(255), Depth SHORT PRIMARY KEY Signature_, Parent, Path)"
query "INSERT INTO DrLocator (Signature_, Path, Depth) VALUES ('OldDatabase', '[ProgramFilesFolder]Tarvo', 0)"
query "INSERT INTO Signature (Signature, FileName) VALUES ('OldDatabase', 'Orvask.db')"
query "INSERT INTO AppSearch (Property, Signature_) VALUES ('OLDDATABASE', 'OldDatabase')"
# ... moved into the data folder (Options 1: move, not copy) with the programs.
query "CREATE TABLE MoveFile (FileKey CHAR(72) NOT NULL, Component_ CHAR(72) NOT NULL, SourceName CHAR(255), DestName CHAR(255), SourceFolder CHAR(72), DestFolder CHAR(72) NOT NULL, Options SHORT NOT NULL PRIMARY KEY FileKey)"
query "INSERT INTO MoveFile (FileKey, Component_, DestName, SourceFolder, DestFolder, Options) VALUES ('OldDatabase', 'Orvask', 'Orvask.db', 'OLDDATABASE', 'DATADIR', 1)"
# The data folder's access control, which replaces what it would inherit from
# %ProgramData% (where every user may create files): SYSTEM and Administrators full
# control, Users read and execute, for the folder and everything in it.
query "CREATE TABLE MsiLockPermissionsEx (MsiLockPermissionsEx CHAR(72) NOT NULL, LockObject CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, SDDLText LONGCHAR NOT NULL, Condition CHAR(255) PRIMARY KEY MsiLockPermissionsEx)"
query "INSERT INTO MsiLockPermissionsEx (MsiLockPermissionsEx, LockObject, \`Table\`, SDDLText) VALUES ('DataFolderAcl', 'DATADIR', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)')"
# The installed features carried over on a major upgrade: Windows Installer's
# MigrateFeatureStates does it (the Upgrade table asks for it), an installer without
# that action (Wine's) gets the same from ADDLOCAL, set when the developer files of an
# installed version are found (their component's GUID never changes) and the command
# line chose no features itself.
query "CREATE TABLE CompLocator (Signature_ CHAR(72) NOT NULL, ComponentId CHAR(38) NOT NULL, Type SHORT PRIMARY KEY Signature_)"
query "INSERT INTO CompLocator (Signature_, ComponentId, Type) VALUES ('InstalledDevelopment', '$(sed -n 's/.*<Component Id="Header" Guid="\([^"]*\)".*/\1/p' "$root/packaging/msi/tarvo.wxs")', 1)"
query "INSERT INTO AppSearch (Property, Signature_) VALUES ('DEVELOPMENTINSTALLED', 'InstalledDevelopment')"
query "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('CarryDevelopment', 51, 'ADDLOCAL', 'Programs,Development')"
carry_condition='WIX_UPGRADE_DETECTED AND DEVELOPMENTINSTALLED AND NOT Installed AND NOT ADDLOCAL AND NOT REMOVE AND NOT ADDSOURCE AND NOT ADDDEFAULT AND NOT REINSTALL'
# A package that would install nothing fails instead (REMOVE=Programs on a first
# installation): the programs are the product (Orvask.exe's component stands for them).
query "INSERT INTO CustomAction (Action, Type, Target) VALUES ('RequirePrograms', 19, 'Tarvo client certificate toolset cannot be installed without its Programs feature.')"
# The sequences, in the places the actions need (wixl places custom actions by its own
# rules): ALLUSERS=1 before anything reads it, the searches and the features to carry
# over before the costing, the old
# product removed before the files are installed, the move before InstallFiles.
for table in InstallUISequence InstallExecuteSequence; do
  query "UPDATE $table SET Sequence = 10 WHERE Action = 'PerMachine'"
  query "INSERT INTO $table (Action, Sequence) VALUES ('AppSearch', 50)"
  query "INSERT INTO $table (Action, Condition, Sequence) VALUES ('CarryDevelopment', '$carry_condition', 60)"
done
query "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RequirePrograms', 'NOT Installed AND \$Orvask <> 3', 1010)"
query "UPDATE InstallExecuteSequence SET Sequence = 1401 WHERE Action = 'RemoveExistingProducts'"
query "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('MoveFiles', 3800)"
query "UPDATE InstallExecuteSequence SET Sequence = 6050 WHERE Action = 'SetInstallLocation'"
if [ -n "$signing" ]; then sign "$output"; fi
echo "build-msi: $output (version $version, product code $product_code${signing:+, signed})"
