# Sourced by scripts/demo.sh: the workstation checker Orvask with a fresh database in a
# temporary directory: a black list given through UpdateBlackList, then two
# verifications. On Linux the inventory is the dpkg database and the protected drive
# is the mount at /media/v (build default); a private mount namespace puts a disk there
# for the demonstration when the machine permits one. Under Wine a small package is
# installed with msiexec and V: is mapped as a fixed disk, both undone at the end.
orvask_demo_root=$(pwd)
orvask_demo_dir=$(mktemp -d)
orvask_demo_list=$(printf '%s' '{"content":[{"name":"Remote Desktop Spy","productcode":"{6A1B7C2D-0000-4000-8000-00000000BAD1}","version":"3.1"},{"name":"O'"'"'Reilly Key Logger","productcode":"keylogger:amd64","version":"0.9"}]}' | base64 -w0)

# orvask_demo TARGET DIR ARGS...: shows the command and its output, long lists shortened.
orvask_demo() {
  local target=$1 dir=$2; shift 2
  local shown="$*"
  [ ${#shown} -gt 60 ] && shown="${shown:0:60}..."
  printf '\n$ %s %s\n' "$([ "$target" = linux ] && echo Orvask || echo 'wine Orvask.exe')" "$shown"
  local text
  if [ "$target" = linux ]; then
    text=$(cd "$dir" && "$orvask_demo_root/build/linux/bin/Orvask" "$@"; echo "(exit status $?)")
  else
    text=$(cd "$dir" && "$orvask_demo_root/build/win32/wine-run" "$orvask_demo_root/build/win32/bin/Orvask.exe" "$@"; echo "(exit status $?)")
    text=$(tr -d '\r' <<<"$text")
  fi
  local products
  products=$(grep -c '"uuid"' <<<"$text" || true)
  if [ "$products" -gt 2 ]; then
    head -n 22 <<<"$text"
    printf '\t\t\t... (%s products in all)\n' "$products"
    tail -n 5 <<<"$text"
  else
    printf '%s\n' "$text"
  fi
}

echo
echo "== Orvask: black list, then two verifications (Linux, dpkg inventory)"
mkdir -p "$orvask_demo_dir/linux" "$orvask_demo_dir/windows"
sqlite3 "$orvask_demo_dir/linux/Orvask.db" <"$orvask_demo_root/orvask/schema.sql"
orvask_demo linux "$orvask_demo_dir/linux" Version
orvask_demo linux "$orvask_demo_dir/linux" UpdateBlackList "$orvask_demo_list"
if [ "$(id -u)" = 0 ] && [ -d /media ] && unshare -m --propagation private true 2>/dev/null; then
  echo "(in a private mount namespace: the build directory's disk is mounted at /media/v)"
  export orvask_demo_root orvask_demo_dir
  export -f orvask_demo
  unshare -m --propagation private bash -c '
    set -e
    mount -t tmpfs orvask-demo /media && mkdir /media/v && mount --bind "$orvask_demo_root/build" /media/v
    orvask_demo linux "$orvask_demo_dir/linux" VerifyMachine
    orvask_demo linux "$orvask_demo_dir/linux" VerifyMachine'
else
  echo "(no private mount namespace here: nothing is mounted at /media/v, so the drive check fails)"
  orvask_demo linux "$orvask_demo_dir/linux" VerifyMachine
  orvask_demo linux "$orvask_demo_dir/linux" VerifyMachine
fi
echo
echo "$ cat OrvaskApp.log"
cat "$orvask_demo_dir/linux/OrvaskApp.log"

echo
echo "== Orvask under Wine: Windows Installer inventory, drive V: mapped as a fixed disk"
orvask_demo_prefix="$orvask_demo_root/build/win32/wineprefix"
orvask_demo_code='{5D3E2A10-4C6B-4F7A-8E21-D3E0DE000001}'
orvask_wine() { "$orvask_demo_root/build/win32/wine-run" "$@" >/dev/null 2>&1; }
# The tests' own fixtures: a package made with wixl, V: mapped as a hard disk.
source "$orvask_demo_root/orvask/testing/wine.sh"
wine() { orvask_wine "$@"; }
prefix=$orvask_demo_prefix
mkdir -p "$orvask_demo_dir/msi" "$orvask_demo_dir/vdrive"
make_msi "$orvask_demo_dir/msi" "$orvask_demo_code" "Demo Reader" 2.0.0 9 >/dev/null
orvask_wine msiexec /i "$orvask_demo_dir/msi/9.msi" /qn ALLUSERS=1
drive_v "$orvask_demo_dir/vdrive" hd
echo "(installed per machine with msiexec: \"Demo Reader\" $orvask_demo_code)"

sqlite3 "$orvask_demo_dir/windows/Orvask.db" <"$orvask_demo_root/orvask/schema.sql"
orvask_demo windows "$orvask_demo_dir/windows" UpdateBlackList "$orvask_demo_list"
orvask_demo windows "$orvask_demo_dir/windows" VerifyMachine
orvask_demo windows "$orvask_demo_dir/windows" VerifyMachine

# Leave the prefix as it was: the package removed, V: unmapped.
orvask_wine msiexec /x "$orvask_demo_code" /qn
drive_v "$orvask_demo_dir/vdrive" none
unset -f wine
unset prefix
rm -rf "$orvask_demo_dir"
