# Sourced by scripts/demo.sh: the two packages installed, run and removed. Under Wine
# the MSI of the win32 build goes into the build's 64-bit prefix (programs in Program
# Files (x86), Orvask.db in ProgramData, where Orvask is started); on Linux (as root, and only
# when the package is not installed already) the .deb goes onto this machine. Both
# are removed at the end.
packages_root=$(pwd)
packages_dir=$(mktemp -d)
packages_wine() { "$packages_root/build/win32/wine-run" "$@"; }
packages_list() {  # packages_list CODE: Base64 black list holding that product code
  printf '{"content":[{"name":"Tarvo client certificate toolset","productcode":"%s","version":"1.2.8"}]}' "$1" | base64 -w0
}

echo
echo "== Packages: the Windows Installer package under Wine"
packages_msi="build/win32/packages/tarvo-1.2.8.msi"
packages_code=$(msiinfo export "$packages_msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
packages_folder="$packages_root/build/win32/wineprefix/drive_c/Program Files (x86)/Tarvo"
packages_data="$packages_root/build/win32/wineprefix/drive_c/ProgramData/Tarvo"
printf '\n$ wine msiexec /i %s /qn\n' "$packages_msi"
packages_wine msiexec /i "$packages_msi" /qn >/dev/null 2>&1 && echo "(exit status 0; product code $packages_code)"
printf '\n$ dir "C:\\Program Files (x86)\\Tarvo" "C:\\ProgramData\\Tarvo"\n'
ls "$packages_folder" "$packages_data"
printf '\n$ wine "C:\\Program Files (x86)\\Tarvo\\ankor.exe" system info version\n'
packages_wine "$packages_folder/ankor.exe" system info version | tr -d '\r'
printf '\n\n$ cd "C:\\ProgramData\\Tarvo" && wine "C:\\Program Files (x86)\\Tarvo\\Orvask.exe" UpdateBlackList ... (the toolset itself)\n'
(cd "$packages_data" && packages_wine "$packages_folder/Orvask.exe" UpdateBlackList "$(packages_list "$packages_code")" | tr -d '\r')
printf '$ wine "C:\\Program Files (x86)\\Tarvo\\Orvask.exe" VerifyMachine\n'
(cd "$packages_data" && packages_wine "$packages_folder/Orvask.exe" VerifyMachine | tr -d '\r')
printf '\n$ wine msiexec /x %s /qn\n' "$packages_code"
packages_wine msiexec /x "$packages_code" /qn >/dev/null 2>&1 && echo "(exit status 0)"
echo "(left in the data folder: $(ls "$packages_data" | xargs); the demo removes it)"
rm -rf "$packages_folder" "$packages_data"

echo
echo "== Packages: the Debian package on this machine"
if [ "$(id -u)" -ne 0 ]; then
  echo "(not root: the package is built but not installed)"
  cmake --build --preset linux --target package_deb >/dev/null
elif dpkg-query -W tarvo >/dev/null 2>&1; then
  echo "(tarvo is installed on this machine already: left alone)"
else
  cmake --build --preset linux --target package_deb >/dev/null
  packages_deb=$(ls build/linux/packages/tarvo_*.deb)
  exec 8>/run/lock/tarvo-package-test.lock
  flock -w 600 8
  trap 'apt-get purge -y -q tarvo >/dev/null 2>&1 || true' EXIT
  printf '\n$ apt-get install ./%s\n' "$packages_deb"
  apt-get install -y -q -o DPkg::Lock::Timeout=300 "./$packages_deb" >/dev/null 2>&1
  dpkg-query -W -f='(installed: ${Package} ${Version}, depends on ${Depends})\n' tarvo
  printf '\n$ ankor system info version\n'
  /usr/bin/ankor system info version
  printf '\n\n$ cd /var/lib/tarvo/orvask && Orvask UpdateBlackList ... (tarvo itself)\n'
  (cd /var/lib/tarvo/orvask && /usr/bin/Orvask UpdateBlackList "$(packages_list "tarvo:$(dpkg --print-architecture)")" >/dev/null)
  printf '$ Orvask VerifyMachine\n'
  (cd /var/lib/tarvo/orvask && /usr/bin/Orvask VerifyMachine)
  printf '\n$ javac -d classes /usr/share/tarvo/java/org/tarvo/hostmark/*.java && java -cp classes org.tarvo.hostmark.Hostmark\n'
  javac -d "$packages_dir/classes" /usr/share/tarvo/java/org/tarvo/hostmark/*.java
  java -cp "$packages_dir/classes" org.tarvo.hostmark.Hostmark
  printf '\n$ apt-get purge tarvo\n'
  apt-get purge -y -q tarvo >/dev/null 2>&1
  echo "(removed; files of the package left: $(dpkg -c "$packages_deb" | awk '{print substr($6, 2)}' \
    | while read -r f; do [ -f "$f" ] || [ -L "$f" ] && echo "$f"; done | wc -l))"
  trap - EXIT
  exec 8>&-
fi
rm -rf "$packages_dir"
