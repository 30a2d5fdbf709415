#!/usr/bin/env bash
# orvask_floor, the C floor of bench/floor_bench.sh, does the same work as Orvask: for
# each command the benchmark times, the same standard output, the same database
# afterwards and the same log lines (without their timestamps). In a private mount
# namespace (argument 1: the drive mount point) the drive passes and the white-list
# runs are compared too; without one the drive check fails on both sides.
point=${1:-}
if [ -n "$point" ] && [ -z "${FLOOR_IN_NAMESPACE:-}" ] && [ "$(dirname "$point")" != / ] &&
    [ -d "$(dirname "$point")" ] && unshare -m --propagation private true 2>/dev/null; then
  FLOOR_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
source "$TARVO_SOURCE_DIR/tests/lib.sh"
: "${ORVASK_FLOOR:?run through ctest}"
work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT

drive=no
if [ -n "${FLOOR_IN_NAMESPACE:-}" ]; then
  mount -t tmpfs floor-test "$(dirname "$point")"
  mkdir -p "$point"
  if [ "$(findmnt -n -o MAJ:MIN --target "$TARVO_BUILD_DIR" | head -n1 | cut -d: -f1 | tr -d ' ')" != 0 ]; then
    mount --bind "$TARVO_BUILD_DIR" "$point"
    drive=yes
  fi
fi

# Databases: none; an empty black list; one of products not installed; one that lists
# an installed package; and the second of these after a first verification.
installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' |
  awk '$1 != "not-installed" && $1 != "config-files" && !found {print $2; found = 1}')
sqlite3 "$work/empty.db" <"$TARVO_SOURCE_DIR/orvask/schema.sql"
cp "$work/empty.db" "$work/absent.db"
sqlite3 "$work/absent.db" "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199)
  INSERT INTO TBBlackList (Name, Version, ProductCode) SELECT 'Blocked ' || i, '1', 'blocked-' || i || ':amd64' FROM n;"
cp "$work/absent.db" "$work/hit.db"
sqlite3 "$work/hit.db" "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('listed', '$installed');"
mkdir "$work/prep"
cp "$work/absent.db" "$work/prep/Orvask.db"
(cd "$work/prep" && "$(exe Orvask)" VerifyMachine >/dev/null)
cp "$work/prep/Orvask.db" "$work/second.db"
input=$(printf '%s' '{"content":[{"name":"O'"'"'Neil","productcode":"{B}","version":"2"},{"name":"A","productcode":"{A}","version":"1"},{"name":"dup","productcode":"{A}","version":"3"}]}' | base64 -w0)

# same NAME DATABASE ARGS...: both programs run ARGS in a fresh copy of DATABASE (the
# floor reads only the input form the benchmark sends).
same() {
  local name=$1 database=$2 side program
  shift 2
  for side in program floor; do
    rm -rf "$work/$side"
    mkdir "$work/$side"
    [ "$database" = - ] || cp "$work/$database.db" "$work/$side/Orvask.db"
    program=$([ "$side" = program ] && exe Orvask || echo "$ORVASK_FLOOR")
    (cd "$work/$side" && { "$program" "$@" >stdout && result=0 || result=$?; } && echo "status $result" >>stdout)
    if [ -f "$work/$side/Orvask.db" ]; then sqlite3 "$work/$side/Orvask.db" .dump; fi >"$work/$side/dump"
    cut -c20- "$work/$side/OrvaskApp.log" >"$work/$side/log"
  done
  for part in stdout dump log; do
    check "$name: $part" "$(cat "$work/program/$part")" "$(cat "$work/floor/$part")"
  done
}

same "Version" - Version
same "VerifyMachine, empty black list" empty VerifyMachine
same "VerifyMachine, black-listed package installed" hit VerifyMachine
same "VerifyMachine, nothing black-listed installed" absent VerifyMachine
same "UpdateBlackList" empty UpdateBlackList "$input"
if [ "$drive" = yes ]; then
  same "second VerifyMachine" second VerifyMachine
  check "the first verification stored the installed packages" 1 "$(sqlite3 "$work/second.db" "SELECT COUNT(*) > 0 FROM TBWhiteList")"
else
  echo "NOTE: no private mount namespace or the build directory is not on a disk; the white-list runs are not compared"
fi
finish
