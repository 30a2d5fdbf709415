#!/usr/bin/env bash
# Whole runs of the Linux programs against the floor: the least any program can do for
# the same work. Orvask against bench/orvask_floor.c (the same I/O in C: same status
# file read, same file lists stat'ed, same rows read and inserted with the same
# transaction and sync settings, same bytes on standard output and in the log); ankor's
# token listing and signature on SoftHSM2 against bench/token_floor.c (the same Cryptoki
# calls in C, the same standard output); `Orvask Version` / `ankor system info version`
# against /bin/true, and `Orvask Version` against the floor (which writes the same log).
# ankor's token listing and signature also run against pkcs11-tool doing the same.
# Orvask verifies a generated dpkg database of 948 installed packages, mounted over
# /var/lib/dpkg in the private mount namespace, so the inventory is the same on every
# machine and both sides read the same files.
#
# Runs are paired: each pair gets fresh copies of the database before the clock starts,
# and the figure is the median of the per-pair ratios A/B, which stays put while other
# work loads the machine (medians of the times are printed for scale). Every other pair
# runs B first (A B, B A, A B, ...): the second run of a pair finds caches warmed by the
# first, which otherwise favours whichever always runs second.
# Before timing, the floors' standard output (and for Orvask the database dump and log
# lines without timestamps) are checked to equal the programs', so the comparison is
# honest (floor_test.sh checks orvask_floor the same way in CTest).
#
# With INSTRUCTIONS=1 it also counts the instructions of one run of each side with
# valgrind's callgrind (user space: program, loader and libraries), which stays
# repeatable however loaded the machine is.
#
# Usage: [INSTRUCTIONS=1] [PRODUCTS=N|machine] bench/floor_bench.sh [PAIRS]
#   PAIRS: default 41, five times that for the start-ups. PRODUCTS: installed packages
#   of the generated dpkg database (948), or "machine" for the machine's own. Needs root
#   for a private mount namespace that puts a directory of a disk at the drive mount
#   point and the generated database at /var/lib/dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-41}
products=${PRODUCTS:-948}
build=${BUILD:-build/linux}
point=/media/v

if [ -z "${FLOOR_IN_NAMESPACE:-}" ]; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  [ -f "$build/build.ninja" ] || cmake --preset linux >/dev/null
  cmake --build "$build" --target Orvask ankor orvask_floor token_floor run_timed >/dev/null
  FLOOR_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

bin=$PWD/$build/bin
floor=$PWD/$build/bench/orvask_floor
token_floor=$PWD/$build/bench/token_floor
timed=$PWD/$build/bench/run_timed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drive: a directory of the disk holding the build, at the mount point, in this
# namespace only.
mount -t tmpfs floor-bench "$(dirname "$point")"
mkdir -p "$point"
mount --bind "$PWD/$build" "$point"

# The inventory: a generated dpkg database of $products installed packages (and some
# removed ones, which both sides skip) over /var/lib/dpkg, in this namespace only, so
# every machine verifies the same products; PRODUCTS=machine keeps the machine's own.
if [ "$products" != machine ]; then
  admin=$work/dpkg
  mkdir -p "$admin/info" "$admin/updates"
  awk -v n="$products" 'BEGIN {
    for (i = 0; i < n + n / 20; i++) {
      removed = i >= n
      arch = i % 5 == 4 ? "all" : "amd64"
      printf "Package: bench-package-%d\n", i
      printf "Status: %s\n", removed ? (i % 2 ? "deinstall ok config-files" : "purge ok not-installed") : "install ok installed"
      printf "Priority: optional\nSection: libs\nInstalled-Size: %d\n", 100 + i * 37 % 9000
      printf "Maintainer: Benchmark Maintainers <bench@example.org>\nArchitecture: %s\n", arch
      if (i % 3 == 0 && arch == "amd64") printf "Multi-Arch: same\n"
      printf "Source: bench-source-%d\nVersion: %d.%d.%d-%d\n", int(i / 3), 1 + i % 4, i % 17, i % 7, 1 + i % 3
      if (i > 0) printf "Depends: libc6 (>= 2.36), bench-package-%d (>= 1.0)\n", i - 1
      printf "Description: generated package %d of the benchmark inventory\n", i
      printf " This package exists only in the benchmark'"'"'s own dpkg database. Its stanza has\n"
      printf " the fields and about the size of a real one, so that reading the status file\n"
      printf " costs what it costs on an installed system.\n .\n"
      printf " It has no files; only its file list is there, for the installation date.\n\n"
      if (!removed) print (arch == "amd64" && i % 3 == 0 ? "bench-package-" i ":amd64.list" : "bench-package-" i ".list") >"/dev/stderr"
    } }' >"$admin/status" 2>"$work/lists"
  (cd "$admin/info" && xargs touch -d '2026-01-15 12:00' <"$work/lists")
  mount --bind "$admin" /var/lib/dpkg
fi
packages=$(dpkg-query -W -f='${db:Status-Status}\n' | grep -cvE '^(not-installed|config-files)$')
echo "== Orvask and start-up against the floor: $pairs pairs, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "   $packages installed dpkg packages ($([ "$products" = machine ] && echo "the machine's" || echo generated)), a 10,000-row black list, $(sqlite3 --version | cut -d' ' -f1) SQLite"

# Databases: base (black list only), full (white list after a first verification).
sqlite3 "$work/base.db" <orvask/schema.sql
sqlite3 "$work/base.db" <<'SQL'
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
scenarios=(version first second update)
scenario version - Version
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
    if [ -f "$work/eq-$side/Orvask.db" ]; then sqlite3 "$work/eq-$side/Orvask.db" .dump; fi >"$work/eq-$side/dump"
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

# The token: a SoftHSM2 store of the benchmark's own with one token and a 2048-bit key
# made by ankor; the floor must print the same listing and the same signature
# (PKCS #1 v1.5 signatures are deterministic).
softhsm=/usr/lib/softhsm/libsofthsm2.so
export SOFTHSM2_CONF=$work/softhsm2.conf ANKOR_PKCS11_MODULE_GD=$softhsm
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label "Floor bench" --pin 1234 --so-pin 87654321 >/dev/null
serial=$(softhsm2-util --show-slots | awk '/Serial number:/ && $3 != "" {print $3; exit}')
key=$("$bin/ankor" pkcs11 repo createKeyPair GD "$serial" "Floor bench key" 2048 1234 | sed -n 's/.*"success": "\(.*\)"$/\1/p')
data=$(head -c 4096 /dev/urandom | base64 -w0)
list_a=("$bin/ankor" pkcs11 list tokens GD)
list_b=("$token_floor" "$softhsm" list)
sign_a=("$bin/ankor" pkcs11 crypt signWithKeyId GD "$serial" "$key" sha256 1234 false "$data")
sign_b=("$token_floor" "$softhsm" sign "$serial" "$key" 1234 "$data")
for name in list sign; do
  declare -n a_argv=${name}_a b_argv=${name}_b
  "$timed" "$work" "$work/tok-a" "${a_argv[@]}" >/dev/null
  "$timed" "$work" "$work/tok-b" "${b_argv[@]}" >/dev/null
  if [ ! -s "$work/tok-a" ] || grep -q '"error"' "$work/tok-a" || ! cmp -s "$work/tok-a" "$work/tok-b"; then
    echo "NOT THE SAME WORK: token $name"
    diff "$work/tok-a" "$work/tok-b" | head -5
    same=no
  fi
  unset -n a_argv b_argv
done
# pkcs11-tool doing the same: -L (the slots with their tokens' label, maker, model and
# serial: what the listing reports; -O would list objects instead) and one signature
# with SHA256-RSA-PKCS of the same key and the same 4 KiB (the token hashes; the same
# signature bytes, which are checked).
printf '%s' "$data" | base64 -d >"$work/data.bin"
key_hex=$(printf '%s' "$key" | base64 -d | xxd -p | tr -d '\n')
tool=$(command -v pkcs11-tool)
list_t=("$tool" --module "$softhsm" -L)
sign_t=("$tool" --module "$softhsm" --token-label "Floor bench" --login --pin 1234 --sign -m SHA256-RSA-PKCS
  --id "$key_hex" -i "$work/data.bin")
"$timed" "$work" "$work/tok-t" "${list_t[@]}" >/dev/null 2>&1
if ! grep -q "serial num *: $serial" "$work/tok-t"; then
  echo "NOT THE SAME WORK: pkcs11-tool -L does not list the token"
  same=no
fi
"$timed" "$work" "$work/tok-t" "${sign_t[@]}" >/dev/null 2>&1
"$timed" "$work" "$work/tok-a" "${sign_a[@]}" >/dev/null
if [ "$(base64 -w0 "$work/tok-t")" != "$(sed -n 's/.*"success": "\(.*\)"$/\1/p' "$work/tok-a")" ]; then
  echo "NOT THE SAME WORK: pkcs11-tool's signature differs from ankor's"
  same=no
fi
[ "$same" = yes ] || exit 1
echo "   floors checked: same standard output, database dump and log lines as Orvask, same"
echo "   listing and signature as ankor (SoftHSM2 $(softhsm2-util --version), a 2048-bit key); pkcs11-tool"
echo "   lists the token and makes the same signature"

# pair NAME DATABASE A_ARGV -- B_ARGV: $pairs paired runs; prints the medians.
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
pair() {
  local name=$1 database=$2 a=() b=() i ta tb
  shift 2
  while [ "$1" != -- ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  : >"$work/ratios" ; : >"$work/ta"; : >"$work/tb"
  for ((i = 0; i < ${PAIR_COUNT:-$pairs}; i++)); do
    prepare "$work/a" "$database"
    prepare "$work/b" "$database"
    if ((i % 2 == 0)); then
      ta=$("$timed" "$work/a" /dev/null "${a[@]}" 2>/dev/null)
      tb=$("$timed" "$work/b" /dev/null "${b[@]}" 2>/dev/null)
    else
      tb=$("$timed" "$work/b" /dev/null "${b[@]}" 2>/dev/null)
      ta=$("$timed" "$work/a" /dev/null "${a[@]}" 2>/dev/null)
    fi
    echo "$ta" >>"$work/ta"
    echo "$tb" >>"$work/tb"
    awk -v a="$ta" -v b="$tb" 'BEGIN {printf "%.4f\n", a / b}' >>"$work/ratios"
  done
  printf '%-34s %8.2f ms %8.2f ms   %5.2fx' "$name" \
    "$(median <"$work/ta" | awk '{print $1 / 1000}')" "$(median <"$work/tb" | awk '{print $1 / 1000}')" \
    "$(median <"$work/ratios")"
  if [ -n "${INSTRUCTIONS:-}" ]; then
    prepare "$work/a" "$database"
    prepare "$work/b" "$database"
    ia=$(instructions "$work/a" "${a[@]}")
    ib=$(instructions "$work/b" "${b[@]}")
    printf '   %6.2fM %6.2fM %5.2fx' "$(awk -v n="$ia" 'BEGIN {print n / 1e6}')" \
      "$(awk -v n="$ib" 'BEGIN {print n / 1e6}')" "$(awk -v a="$ia" -v b="$ib" 'BEGIN {print a / b}')"
  fi
  echo
}

# instructions DIR ARGV...: user-space instructions of one run in DIR (callgrind).
instructions() {
  local dir=$1
  shift
  (cd "$dir" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p')
}

printf '%-34s %11s %11s   %s%s\n' "run (median of $pairs pairs; start-ups $((pairs * 5)))" "program" "floor" "ratio" \
  "${INSTRUCTIONS:+   instructions: program, floor, ratio}"
# shellcheck disable=SC2086
pair "first VerifyMachine ($packages new)" base "$bin/Orvask" VerifyMachine -- "$floor" VerifyMachine
pair "second VerifyMachine" full "$bin/Orvask" VerifyMachine -- "$floor" VerifyMachine
pair "UpdateBlackList of 625 entries" base "$bin/Orvask" UpdateBlackList "$input" -- "$floor" UpdateBlackList "$input"
pair "ankor list tokens (SoftHSM2)" - "${list_a[@]}" -- "${list_b[@]}"
pair "ankor signWithKeyId sha256 (4 KiB)" - "${sign_a[@]}" -- "${sign_b[@]}"
pair "ankor list tokens vs pkcs11-tool -L" - "${list_a[@]}" -- "${list_t[@]}"
pair "ankor signWithKeyId vs pkcs11-tool" - "${sign_a[@]}" -- "${sign_t[@]}"
# Start-ups take well under a millisecond, where scheduling moves single runs the most:
# five times the pairs (still a few seconds).
PAIR_COUNT=$((pairs * 5)) pair "Orvask Version vs the floor" - "$bin/Orvask" Version -- "$floor" Version
PAIR_COUNT=$((pairs * 5)) pair "Orvask Version vs /bin/true" - "$bin/Orvask" Version -- /bin/true
PAIR_COUNT=$((pairs * 5)) pair "ankor system info version vs true" - "$bin/ankor" system info version -- /bin/true
