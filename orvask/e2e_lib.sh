# Helpers of the Orvask end-to-end scripts (sourced after tests/lib.sh).

# A fresh working directory per case; removed at exit.
orvask_root=$(mktemp -d)
trap 'rm -rf "$orvask_root" "$out_raw"' EXIT
fresh_dir() {
  work=$(mktemp -d "$orvask_root/case.XXXXXX")
}

# orvask ARGS... : runs the program in $work (see run_program for $out, $status).
orvask() {
  pushd "$work" >/dev/null
  run_program Orvask "$@"
  popd >/dev/null
}

schema() {  # creates the two tables in $work/Orvask.db, from the schema the packages ship
  sqlite3 "$work/Orvask.db" <"$TARVO_SOURCE_DIR/orvask/schema.sql"
}

sql() { sqlite3 "$work/Orvask.db" "$@"; }

b64() { printf '%s' "$1" | base64 -w0; }

# The log without CR, and its lines without the 19-character timestamp.
log_text() { tr -d '\r' <"$work/OrvaskApp.log"; }
log_tails() { log_text | cut -c20-; }

# verdict_id: the "id" of the document in $out.
verdict_id() { sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' <<<"$out"; }

# document ID MESSAGE: the document without a product list.
document() {
  printf '{\n\t"success" : \n\t{\n\t\t"error" : \n\t\t{\n\t\t\t"id" : %s,\n\t\t\t"message" : "%s"\n\t\t}\n\t}\n}\n' "$1" "$2"
}

# make_msi CODE NAME VERSION N [perUser]: builds $orvask_root/N.msi installing one
# file, per machine (or, with perUser, for the current user only).
make_msi() {
  local dir="$orvask_root/msi$4" scope=perMachine folder=ProgramFilesFolder keypath=""
  if [ "${5:-}" = perUser ]; then
    scope=perUser folder=LocalAppDataFolder
    keypath="<RegistryValue Root=\"HKCU\" Key=\"Software\\OrvaskTest$4\" Name=\"installed\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/><RemoveFolder Id=\"RF$4\" On=\"uninstall\"/>"
  fi
  mkdir -p "$dir"
  echo "payload $4" >"$dir/payload.txt"
  cat >"$dir/p.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$1" Name="$2" Language="1033" Version="$3" Manufacturer="Tarvo Tests"
           UpgradeCode="{0F5A1C2E-7B3D-4E8F-9A01-0A1FB000000$4}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="$scope"/>
    <Media Id="1" Cabinet="p.cab" EmbedCab="yes"/>
    <Property Id="ARPINSTALLLOCATION" Value="C:\\OrvaskTest\\$4"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="$folder">
        <Directory Id="INSTALLDIR" Name="OrvaskTest$4">
          <Component Id="C$4" Guid="{0F5A1C2E-7B3D-4E8F-9A01-0A1FC000000$4}">
            $keypath<File Id="F$4" Source="payload.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C$4"/></Feature>
  </Product>
</Wix>
WXS
  (cd "$dir" && wixl -o "$orvask_root/$4.msi" p.wxs)
}
