# Wine fixtures of Orvask's Windows tests, the package test and the demo: drive V:
# mapped in a Wine prefix, and small Windows Installer packages built with wixl.
# The caller defines `wine` (the build's Wine runner, output discarded) and `prefix`
# (that runner's Wine prefix).

# drive_v DIR TYPE|none: maps V: to DIR with that Wine drive type (hd, network, cdrom...),
# or unmaps it. The drive manager reads the types when the Wine session starts, hence
# the restart of the prefix's wineserver (each wait bounded). Wine reads its settings
# from the registry's 64-bit view, which the 32-bit reg.exe writes only with /reg:64.
drive_v() {
  if [ "$2" = none ]; then
    rm -f "$prefix/dosdevices/v:"
    wine reg delete 'HKLM\Software\Wine\Drives' /v v: /f /reg:64 || true
  else
    ln -sfn "$1" "$prefix/dosdevices/v:"
    wine reg add 'HKLM\Software\Wine\Drives' /v v: /t REG_SZ /d "$2" /f /reg:64
  fi
  WINEPREFIX=$prefix timeout 60 wineserver -k || true
  WINEPREFIX=$prefix timeout 60 wineserver -w || true
}

# make_msi DIR CODE NAME VERSION N [perUser|x64]: builds DIR/N.msi, product CODE
# installing one file in OrvaskTestN, per machine (or, with perUser, for the current user
# only; with x64, a 64-bit package in the 64-bit Program Files), install location
# C:\OrvaskTest\N.
make_msi() {
  local out=$1; shift
  local dir="$out/msi$4" scope=perMachine folder=ProgramFilesFolder keypath="" arch=x86
  if [ "${5:-}" = x64 ]; then
    folder=ProgramFiles64Folder arch=x64
  elif [ "${5:-}" = perUser ]; then
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
  (cd "$dir" && wixl -a "$arch" -o "$out/$4.msi" p.wxs)
}
