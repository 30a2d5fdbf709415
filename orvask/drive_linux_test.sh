#!/usr/bin/env bash
# The Linux drive check of the real Orvask program, in a private mount namespace: the
# configured mount point (argument 1) left unmounted, a tmpfs on it, and a bind mount
# of a directory on a disk; with the disk mounted, the white list on the real dpkg
# inventory: first run lists and stores every package, the next passes, a product that
# is no longer installed leaves the list. Also a read-only current directory (no log).
point=${1:?mount point}
if [ -z "${ORVASK_IN_NAMESPACE:-}" ]; then
  parent=$(dirname "$point")
  if [ "$parent" = / ] || [ ! -d "$parent" ]; then
    echo "SKIP: the parent of $point must be an existing directory other than /"
    exit 0
  fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: private mount namespaces are not permitted here (unshare -m failed)"
    exit 0
  fi
  ORVASK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/e2e_lib.sh"

# Only this namespace sees the mounts: a tmpfs over the parent makes the point free to use.
mount -t tmpfs orvask-test "$(dirname "$point")"
mkdir -p "$point"

fresh_dir
schema
sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('not installed', 'no-such-package:none');"
drive_failed=$(document 61451 "Drive [V:] nao esta mapeado ou esta em estado de erro.")$'\n'

# A read-only current directory: no log can be created, the program answers as usual.
mount --bind "$work" "$work"
mount -o remount,bind,ro "$work"
orvask Version
check "read-only directory: Version" "Version!"$'\n' "$out"
check "read-only directory: status" 0 "$status"
orvask VerifyMachine
check "read-only directory: the lists are still read" "$drive_failed" "$out"
check "read-only directory: no log" no "$([ -e "$work/OrvaskApp.log" ] && echo yes || echo no)"
umount "$work"

orvask VerifyMachine
check "not a mount point" "$drive_failed" "$out"
mount -t tmpfs ramdisk "$point"
orvask VerifyMachine
check "tmpfs (RAM disk)" "$drive_failed" "$out"
umount "$point"
check "white list untouched while the drive fails" 0 "$(sql "SELECT COUNT(*) FROM TBWhiteList")"

disk_dir="$TARVO_BUILD_DIR"
major=$(findmnt -n -o MAJ:MIN --target "$disk_dir" | head -n1 | cut -d: -f1 | tr -d ' ')
fstype=$(findmnt -n -o FSTYPE --target "$disk_dir" | head -n1)
if [ "${major:-0}" = 0 ] && [ "$fstype" != btrfs ]; then
  echo "SKIP (fixed drive cases): $disk_dir is on $fstype without a block device"
  finish
  exit $?
fi
mount --bind "$disk_dir" "$point"

installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' | awk '$1 == "installed" {print $2}' | sort)
count=$(wc -l <<<"$installed")
orvask VerifyMachine
check "fixed disk, first run: verdict" 61474 "$(verdict_id)"
check "first run lists every package" "$count" "$(grep -c '"uuid" :' <<<"$out")"
check "first run stores every package" "$installed" "$(sql "SELECT ProductCode FROM TBWhiteList" | LC_ALL=C sort)"
check "stored dates are eight digits" 0 "$(sql "SELECT COUNT(*) FROM TBWhiteList WHERE Date NOT GLOB '[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]'")"

orvask VerifyMachine
check "fixed disk, second run" "$(document 0 "Maquina liberada para uso.")"$'\n' "$out"

sql "INSERT INTO TBWhiteList (Name, Version, ProductCode, Path, Date) VALUES ('gone', '1', 'gone:all', '', '20200101');"
sql "DELETE FROM TBWhiteList WHERE ProductCode = 'bash:$(dpkg --print-architecture)';"
orvask VerifyMachine
check "reinstalled product is new again" 61474 "$(verdict_id)"
check "only that product is listed" "bash:$(dpkg --print-architecture)" "$(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out")"
check "uninstalled product left the white list" 0 "$(sql "SELECT COUNT(*) FROM TBWhiteList WHERE ProductCode = 'gone:all'")"
check "white list matches the machine" "$installed" "$(sql "SELECT ProductCode FROM TBWhiteList" | LC_ALL=C sort)"
umount "$point"
orvask VerifyMachine
check "unmounted again" "$drive_failed" "$out"

finish
