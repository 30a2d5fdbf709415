#!/usr/bin/env bash
# Two Orvask processes updating the black list and verifying against the same database
# at the same time lose no row and leave a sound database; eight first verifications at
# once store each product once and only one of them reports it; on Linux a process
# killed in the middle of a batch leaves the database as before the batch.
# On Linux the white list takes part when a private mount namespace can put a disk at
# the drive mount point (argument 1); under Wine V: is mapped as a hard disk.
point=${1:-}
if [ "$TARVO_PLATFORM" = linux ] && [ -n "$point" ] && [ -z "${ORVASK_IN_NAMESPACE:-}" ]; then
  if [ "$(dirname "$point")" != / ] && [ -d "$(dirname "$point")" ] && unshare -m --propagation private true 2>/dev/null; then
    ORVASK_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
  fi
  echo "NOTE: no private mount namespace; the drive check fails and only the black list is written concurrently"
fi

source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/wine.sh"

expect_white_list=no
if [ "$TARVO_PLATFORM" = linux ] && [ -n "${ORVASK_IN_NAMESPACE:-}" ]; then
  mount -t tmpfs orvask-test "$(dirname "$point")"
  mkdir -p "$point"
  major=$(findmnt -n -o MAJ:MIN --target "$TARVO_BUILD_DIR" | head -n1 | cut -d: -f1 | tr -d ' ')
  if [ "${major:-0}" != 0 ] || [ "$(findmnt -n -o FSTYPE --target "$TARVO_BUILD_DIR" | head -n1)" = btrfs ]; then
    mount --bind "$TARVO_BUILD_DIR" "$point"
    expect_white_list=yes
  else
    echo "NOTE: the build directory is not on a disk; the drive check fails and only the black list is written concurrently"
  fi
elif [ "$TARVO_PLATFORM" = win32 ]; then
  prefix=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix}
  wine() { "$TARVO_RUNNER" "$@" >/dev/null 2>&1; }
  vdir=$(mktemp -d "$orvask_root/v.XXXXXX")
  drive_v "$vdir" hd
  trap 'drive_v "$vdir" none; rm -rf "$orvask_root" "$out_raw"' EXIT
fi

fresh_dir
schema
rounds=8
per_batch=40

# worker ID: alternates an update of its own entries with a verification; every
# answer goes to $work/answers.ID, one verdict id per line ("error" when unreadable).
worker() {
  local id=$1 round i json answer program sep
  program=$(exe Orvask)
  for ((round = 0; round < rounds; round++)); do
    json='{"content":['
    sep=""
    for ((i = 0; i < per_batch; i++)); do
      json+="$sep{\"name\":\"W$id O'Neil $round.$i\",\"productcode\":\"{W$id-$round-$i}\",\"version\":\"$round\"}"
      sep=,
    done
    json+=']}'
    for args in "UpdateBlackList $(b64 "$json")" "VerifyMachine"; do
      # shellcheck disable=SC2086
      if [ -n "${TARVO_RUNNER:-}" ]; then
        answer=$(cd "$work" && "$TARVO_RUNNER" "$program" $args | tr -d '\r')
      else
        answer=$(cd "$work" && "$program" $args)
      fi
      sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' <<<"$answer" | grep . || echo "unreadable: $answer"
    done >>"$work/answers.$id"
  done
}

worker 1 &
first=$!
worker 2 &
second=$!
wait "$first"
wait "$second"

check "integrity" ok "$(sql "PRAGMA integrity_check;")"
check "every black-list row arrived" $((2 * rounds * per_batch)) "$(sql "SELECT COUNT(DISTINCT ProductCode) FROM TBBlackList")"
check "no black-list row twice" $((2 * rounds * per_batch)) "$(sql "SELECT COUNT(*) FROM TBBlackList")"
check "names intact" 1 "$(sql "SELECT COUNT(*) FROM TBBlackList WHERE Name = 'W2 O''Neil 7.39' AND ProductCode = '{W2-7-39}'")"
for id in 1 2; do
  check "worker $id: every update answered 61465" "$rounds" "$(grep -cx 61465 "$work/answers.$id" || true)"
  check "worker $id: every run answered" "$((2 * rounds))" "$(grep -cE '^[0-9]+$' "$work/answers.$id" || true)"
done
verdicts=$(grep -vx 61465 "$work/answers.1" "$work/answers.2" | cut -d: -f2 | sort -u | tr '\n' ' ')
if [ "$expect_white_list" = yes ]; then
  installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' |
    awk '$1 != "not-installed" && $1 != "config-files" {print $2}' | LC_ALL=C sort)
  check "verdicts while both write" "0 61474 " "$verdicts"
  check "white list holds every package once" "$installed" "$(sql "SELECT ProductCode FROM TBWhiteList" | LC_ALL=C sort)"
elif [ "$TARVO_PLATFORM" = win32 ]; then
  check "verdicts (nothing installed, V: a hard disk)" "61474 " "$verdicts"
else
  check "verdicts (drive not mounted)" "61451 " "$verdicts"
fi

# Eight first verifications started together on an empty white list: reading the list
# and storing the new products is one write transaction, so exactly one run reports
# 61474 and stores each product once; the others find them stored and answer 0.
if [ "$expect_white_list" = yes ] || [ "$TARVO_PLATFORM" = win32 ]; then
  if [ "$TARVO_PLATFORM" = win32 ]; then
    # One product installed per machine, so that the inventory is not empty.
    code_conc='{0F5A1C2E-7B3D-4E8F-9A01-0A1FA0000005}'
    make_msi "$orvask_root" "$code_conc" "Orvask Concurrent Test" 1.0.0 5 >/dev/null
    "$TARVO_RUNNER" msiexec /x "$code_conc" /qn >/dev/null 2>&1 || true
    "$TARVO_RUNNER" msiexec /i "$orvask_root/5.msi" /qn ALLUSERS=1 >/dev/null 2>&1
    trap '"$TARVO_RUNNER" msiexec /x "$code_conc" /qn >/dev/null 2>&1 || true; drive_v "$vdir" none; rm -rf "$orvask_root" "$out_raw"' EXIT
  fi
  fresh_dir
  schema
  sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('not installed', '{NOT-INSTALLED}');"
  program=$(exe Orvask)
  pids=()
  for i in 1 2 3 4 5 6 7 8; do
    # shellcheck disable=SC2086
    (cd "$work" && ${TARVO_RUNNER:-} "$program" VerifyMachine | tr -d '\r' >"$work/first.$i") &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  ids=$(for i in 1 2 3 4 5 6 7 8; do out=$(cat "$work/first.$i"); verdict_id; done | sort | uniq -c | awk '{print $2 "x" $1}' | tr '\n' ' ')
  check "eight first verifications: one 61474, seven 0" "0x7 61474x1 " "$ids"
  reported=$(cat "$work"/first.* | sed -n 's/.*"uuid" : "\(.*\)"/\1/p')
  check "eight first verifications: every product stored once" "$(wc -l <<<"$reported")" "$(sql "SELECT COUNT(*) FROM TBWhiteList")"
  check "eight first verifications: the stored products are the reported ones" "$reported" \
    "$(sql "SELECT ProductCode FROM TBWhiteList" | LC_ALL=C sort)"
  if [ "$TARVO_PLATFORM" = linux ]; then
    installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' |
      awk '$1 != "not-installed" && $1 != "config-files" {print $2}' | LC_ALL=C sort)
    check "eight first verifications: the rows are the installed packages" "$installed" "$reported"
  else
    check "eight first verifications: the installed product is among them" 1 "$(grep -cxF "$code_conc" <<<"$reported")"
  fi
fi

if [ "$TARVO_PLATFORM" = linux ]; then
  # Kill an update inside its transaction: a reader holds the database, so the batch
  # has written its rows and waits to commit when it is killed. Nothing of it may remain.
  fresh_dir
  schema
  sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('kept', '{KEPT}');"
  big='{"content":['
  for ((i = 0; i < 1500; i++)); do big+="$([ "$i" = 0 ] || echo ,){\"name\":\"n$i\",\"productcode\":\"{C$i}\",\"version\":\"1\"}"; done
  big=$(b64 "$big]}")
  { echo 'BEGIN;'; echo 'SELECT COUNT(*) FROM TBBlackList;'; sleep 4; echo 'COMMIT;'; } | sqlite3 "$work/Orvask.db" >/dev/null &
  reader=$!
  sleep 0.5
  (cd "$work" && exec "$(exe Orvask)" UpdateBlackList "$big" >/dev/null) &
  victim=$!
  killed=no
  for ((i = 0; i < 300; i++)); do
    if [ -e "$work/Orvask.db-journal" ] && kill -0 "$victim" 2>/dev/null; then
      sleep 0.3
      kill -9 "$victim" 2>/dev/null && killed=yes
      break
    fi
    sleep 0.01
  done
  wait "$victim" 2>/dev/null || true
  wait "$reader" || true
  check "the update was killed inside its transaction" yes "$killed"
  check "killed mid-batch: database as before" "{KEPT}" "$(sql "SELECT ProductCode FROM TBBlackList")"
  check "integrity after the kill" ok "$(sql "PRAGMA integrity_check;")"
  orvask UpdateBlackList "$(b64 '{"content":[{"name":"after","productcode":"{AFTER}"}]}')"
  check "usable after the kill" 1 "$(sql "SELECT COUNT(*) FROM TBBlackList WHERE ProductCode = '{AFTER}'")"
fi

finish
