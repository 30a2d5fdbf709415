#!/usr/bin/env bash
# Whole runs of the Linux programs against the floor: the least any program can do for
# the same work. Orvask against bench/orvask_floor.c (the same I/O in C: same status
# file read, same file lists stat'ed, same rows read and inserted with the same
# transaction and sync settings, same bytes on standard output and in the log), and
# `Orvask Version` / `ankor system info version` against /bin/true.
#
# Runs are paired (A B A B ...): each pair gets fresh copies of the database before the
# clock starts, and the figure is the median of the per-pair ratios A/B, which stays
# put while other work loads the machine (medians of the times are printed for scale).
# Before timing, the floor's standard output, database dump and log lines (without
# timestamps) are checked to equal Orvask's, so the comparison is honest.
#
# Usage: bench/floor_bench.sh [PAIRS]   (default 41; needs root for a private mount
# namespace that puts a directory of a disk at the drive mount point)
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-41}
build=${BUILD:-build/linux}
point=/media/v

if [ -z "${FLOOR_IN_NAMESPACE:-}" ]; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  [ -f "$build/build.ninja" ] || cmake --preset linux >/dev/null
  cmake --build "$build" --target Orvask ankor >/dev/null
  mkdir -p "$build/bench"
  cc -O2 -g -Wall -DFLOOR_DRIVE_MOUNT_POINT="\"$point\"" bench/orvask_floor.c -o "$build/bench/orvask_floor" \
    -l:libsqlite3.a -lm -ldl -lpthread
  cc -O2 -Wall bench/run_timed.c -o "$build/bench/run_timed"
  FLOOR_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

bin=$PWD/$build/bin
floor=$PWD/$build/bench/orvask_floor
timed=$PWD/$build/bench/run_timed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drive: a directory of the disk holding the build, at the mount point, in this
# namespace only.
mount -t tmpfs floor-bench "$(dirname "$point")"
mkdir -p "$point"
mount --bind "$PWD/$build" "$point"

packages=$(dpkg-query -W -f='${db:Status-Status}\n' | grep -cvE '^(not-installed|config-files)$')
echo "== Orvask and start-up against the floor: $pairs pairs, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "   $packages dpkg packages, a 10,000-row black list, $(sqlite3 --version | cut -d' ' -f1) SQLite"

# Databases: base (black list only), full (white list after a first verification).
sqlite3 "$work/base.db" <<'SQL'
CREATE TABLE TBWhiteList (IDWhiteList INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);
CREATE TABLE TBBlackList (IDBlackList INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 9999)
INSERT INTO TBBlackList (Name, Version, ProductCode, Path, Date)
  SELECT 'Blocked product ' || i, '1.' || i, 'blocked-' || i || ':amd64', '', '' FROM n;
SQL
mkdir -p "$work/prep"
cp "$work/base.db" "$work/prep/Orvask.db"
(cd "$work/prep" && "$bin/Orvask" VerifyMachine >/dev/null)
cp "$work/prep/Orvask.db" "$work/full.db"
json='{"content":['
for ((i = 0; i < 625; i++)); do
  json+="$([ "$i" = 0 ] || echo ,){\"name\":\"Update $i\",\"productcode\":\"{UPDATE-$((i * 7919 % 625))}\",\"version\":\"2.$i\"}"
done
input=$(printf '%s' "$json]}" | base64 -w0)

# scenario NAME DATABASE ARGS...: a name, the database each run starts from ("-" for
# none), and the command line.
declare -A db_of args_of
scenario() { local n=$1 d=$2; shift 2; db_of[$n]=$d; args_of[$n]="$*"; }
scenarios=(first second update)
scenario first base VerifyMachine
scenario second full VerifyMachine
scenario update base UpdateBlackList "$input"

# prepare DIR DATABASE: a fresh directory with a fresh copy of the database.
prepare() {
  rm -rf "$1"
  mkdir -p "$1"
  if [ "$2" != - ]; then cp "$work/$2.db" "$1/Orvask.db"; fi
}

# The floor must do the same work: same output bytes, same database, same log lines.
same=yes
for name in "${scenarios[@]}"; do
  # shellcheck disable=SC2086
  for side in a b; do
    prepare "$work/eq-$side" "${db_of[$name]}"
    program=$([ "$side" = a ] && echo "$bin/Orvask" || echo "$floor")
    "$timed" "$work/eq-$side" "$work/eq-$side/stdout" "$program" ${args_of[$name]} >/dev/null
    sqlite3 "$work/eq-$side/Orvask.db" .dump >"$work/eq-$side/dump"
    cut -c20- "$work/eq-$side/OrvaskApp.log" >"$work/eq-$side/log"
  done
  for part in stdout dump log; do
    if ! cmp -s "$work/eq-a/$part" "$work/eq-b/$part"; then
      echo "NOT THE SAME WORK: $name, $part differs"
      diff "$work/eq-a/$part" "$work/eq-b/$part" | head -5
      same=no
    fi
  done
done
[ "$same" = yes ] || exit 1
echo "   floor checked: same standard output, database dump and log lines as Orvask"

# pair NAME DATABASE A_ARGV -- B_ARGV: $pairs paired runs; prints the medians.
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
pair() {
  local name=$1 database=$2 a=() b=() i ta tb
  shift 2
  while [ "$1" != -- ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  : >"$work/ratios" ; : >"$work/ta"; : >"$work/tb"
  for ((i = 0; i < pairs; i++)); do
    prepare "$work/a" "$database"
    prepare "$work/b" "$database"
    ta=$("$timed" "$work/a" /dev/null "${a[@]}")
    tb=$("$timed" "$work/b" /dev/null "${b[@]}")
    echo "$ta" >>"$work/ta"
    echo "$tb" >>"$work/tb"
    awk -v a="$ta" -v b="$tb" 'BEGIN {printf "%.4f\n", a / b}' >>"$work/ratios"
  done
  printf '%-34s %8.2f ms %8.2f ms   %5.2fx\n' "$name" \
    "$(median <"$work/ta" | awk '{print $1 / 1000}')" "$(median <"$work/tb" | awk '{print $1 / 1000}')" \
    "$(median <"$work/ratios")"
}

printf '%-34s %11s %11s   %s\n' "run (median of $pairs pairs)" "program" "floor" "ratio"
# shellcheck disable=SC2086
pair "first VerifyMachine ($packages new)" base "$bin/Orvask" VerifyMachine -- "$floor" VerifyMachine
pair "second VerifyMachine" full "$bin/Orvask" VerifyMachine -- "$floor" VerifyMachine
pair "UpdateBlackList of 625 entries" base "$bin/Orvask" UpdateBlackList "$input" -- "$floor" UpdateBlackList "$input"
pair "Orvask Version vs /bin/true" - "$bin/Orvask" Version -- /bin/true
pair "ankor system info version vs true" - "$bin/ankor" system info version -- /bin/true
