#!/usr/bin/env bash
# The Linux drive check of the real Orvask program, in a private mount namespace: the
# configured mount point (argument 1) left unmounted, a tmpfs on it, and a bind mount
# of a directory on a disk; with the disk mounted, the white list on the real dpkg
# inventory: first run lists and stores every package, the next passes, a product that
# is no longer installed leaves the list; a drive hidden by a later mount over its
# parent; packages in transient dpkg states (a status file bound over dpkg's); a full
# standard output and a read-only database. Also a read-only current directory (no log).
point=${1:?mount point}
# Before the namespace, tests/lib.sh is not sourced yet: 77 is its skip status.
if [ -z "${ORVASK_IN_NAMESPACE:-}" ]; then
  parent=$(dirname "$point")
  if [ "$parent" = / ] || [ ! -d "$parent" ]; then
    echo "SKIP: the parent of $point must be an existing directory other than /"
    exit 77
  fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: private mount namespaces are not permitted here (unshare -m failed)"
    exit 77
  fi
  ORVASK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"

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
  finish || exit 1
  skip "(fixed drive, hidden drive, dpkg states, full output, read-only database): $disk_dir is on $fstype without a block device"
fi
mount --bind "$disk_dir" "$point"

installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' |
  awk '$1 != "not-installed" && $1 != "config-files" {print $2}' | sort)
count=$(wc -l <<<"$installed")

# A document that cannot be written: the run fails and the white list stays as it was.
pushd "$work" >/dev/null
set +e; "$(exe Orvask)" VerifyMachine >/dev/full; status=$?; set -e
popd >/dev/null
check "output on a full device: status" 255 "$status"
check "output on a full device: nothing stored" 0 "$(sql "SELECT COUNT(*) FROM TBWhiteList")"

# A read-only database: the black list is read, but neither list can be changed, so the
# update answers "error" and the verification fails instead of reporting new products.
cp "$work/Orvask.db" "$work/Orvask.db.rw"
mount --bind "$work/Orvask.db" "$work/Orvask.db"
mount -o remount,bind,ro "$work/Orvask.db"
orvask UpdateBlackList "$(b64 '{"content":[{"name":"x","productcode":"{X}","version":"1"}]}')"
check "read-only database: update" "error"$'\n' "$out"
check "read-only database: update logged" "|ERROR|BlackList nao atualizada: attempt to write a readonly database" "$(log_tails | tail -n1)"
orvask VerifyMachine
check "read-only database: verification status" 255 "$status"
check "read-only database: no verdict" "" "$out"
check "read-only database: verification logged" \
  "|ERROR|Erro generico na aplicacao.TBWhiteList: attempt to write a readonly database" "$(log_tails | tail -n1)"
umount "$work/Orvask.db"
check "read-only database: unchanged" "$(sqlite3 "$work/Orvask.db.rw" .dump)" "$(sql .dump)"

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

# A file system mounted over the parent after the drive: /media/v is hidden from every
# lookup (then a plain directory of the new mount), so there is no drive there.
mount -t tmpfs hiding "$(dirname "$point")"
orvask VerifyMachine
check "drive hidden by a mount over its parent" "$drive_failed" "$out"
mkdir "$point"
orvask VerifyMachine
check "hidden drive, same path as a plain directory" "$drive_failed" "$out"
umount "$(dirname "$point")"
orvask VerifyMachine
check "drive visible again" "$(document 0 "Maquina liberada para uso.")"$'\n' "$out"

# Packages in transient dpkg states have their files on disk: they are listed, and a
# black-listed one is found. The status file is replaced in this namespace only.
status_file=$(mktemp "$orvask_root/status.XXXXXX")
arch=$(dpkg --print-architecture)
for state in "install ok triggers-pending" "install ok half-configured" "install reinstreq half-installed" \
  "install ok unpacked" "install ok triggers-awaited" "deinstall ok config-files"; do
  name=$(echo "$state" | awk '{print $3}')
  printf 'Package: orvask-%s\nStatus: %s\nArchitecture: %s\nVersion: 1\n\n' "$name" "$state" "$arch"
done >"$status_file"
dpkg-query -W -f='Package: ${Package}\nStatus: ${Status}\nArchitecture: ${Architecture}\nVersion: ${Version}\n\n' >>"$status_file"
mount --bind "$status_file" /var/lib/dpkg/status
orvask VerifyMachine
check "transient states: the new packages" \
  "orvask-half-configured:$arch orvask-half-installed:$arch orvask-triggers-awaited:$arch orvask-triggers-pending:$arch orvask-unpacked:$arch " \
  "$(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out" | tr '\n' ' ')"
orvask UpdateBlackList "$(b64 '{"content":[{"name":"man-db","productcode":"orvask-triggers-pending:'"$arch"'","version":"1"},{"name":"gone","productcode":"orvask-config-files:'"$arch"'","version":"1"}]}')"
orvask VerifyMachine
check "black-listed package with pending triggers" 61464 "$(verdict_id)"
check "only the package whose files are there" "orvask-triggers-pending:$arch" "$(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out")"
umount /var/lib/dpkg/status

umount "$point"
orvask VerifyMachine
check "unmounted again" "$drive_failed" "$out"

finish
