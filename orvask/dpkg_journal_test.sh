#!/usr/bin/env bash
# A black-listed package whose state lives only in dpkg's journal: dpkg is killed in the
# package's postinst, so /var/lib/dpkg/updates holds it half-configured and the status
# file does not. Orvask reads the journal as dpkg does and answers 61464. Runs in a
# private mount namespace with a dpkg database of its own over /var/lib/dpkg.
if [ -z "${ORVASK_IN_NAMESPACE:-}" ] && [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
  ORVASK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"
[ -n "${ORVASK_IN_NAMESPACE:-}" ] || skip "needs root and a private mount namespace"

admin=$orvask_root/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$admin/alternatives"
: >"$admin/status"
: >"$admin/available"
mount --bind "$admin" /var/lib/dpkg

package=orvask-journal-test
mkdir -p "$orvask_root/pkg/DEBIAN"
printf 'Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: Tarvo tests <tests@tarvo.example>\nDescription: killed in its postinst\n' \
  "$package" >"$orvask_root/pkg/DEBIAN/control"
printf '#!/bin/sh\nkill -9 "$PPID"\nsleep 10\n' >"$orvask_root/pkg/DEBIAN/postinst"
chmod 755 "$orvask_root/pkg/DEBIAN/postinst"
dpkg-deb --root-owner-group --build "$orvask_root/pkg" "$orvask_root/p.deb" >/dev/null
dpkg --log=/dev/null -i "$orvask_root/p.deb" >/dev/null 2>&1 || true

check "dpkg-query sees the package half-configured" half-configured \
  "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)"
check "the status file does not name it" 0 "$(grep -c "$package" /var/lib/dpkg/status || true)"
check "the journal does" yes "$(cat /var/lib/dpkg/updates/[0-9]* 2>/dev/null | grep -q "^Package: $package$" && echo yes || echo no)"

fresh_dir
schema
sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('journal', '$package:all');"
orvask VerifyMachine
check "verdict" 61464 "$(verdict_id)"
check "the package is listed" "$package:all" "$(sed -n 's/.*"uuid" : "\(.*\)"/\1/p' <<<"$out")"
finish
