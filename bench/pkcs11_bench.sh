#!/usr/bin/env bash
# Batch signing on a token: COUNT signatures on a SoftHSM2 token (2048-bit RSA, SHA-256
# digests) by one "pkcs11 crypt signList" run, by COUNT runs of "pkcs11 crypt sign",
# and by bench/pkcs11_floor.c, a C program making the same Cryptoki calls (one
# C_Initialize, one C_Login, COUNT C_SignInit/C_Sign) and nothing else.
# Goals: signList <= 1.2x the floor, and >= 5x faster than the COUNT single runs.
# Usage: bench/pkcs11_bench.sh [COUNT]   (default 100; RUNS=n for the median of n)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100}
runs=${RUNS:-5}
build=build/pkcs11-bench

if [ ! -f "$build/build.ninja" ]; then
  cmake --preset linux -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target ankor pkcs11_floor >/dev/null

SOFTHSM=/usr/lib/softhsm/libsofthsm2.so
PIN=1234
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label "Bench" --pin "$PIN" --so-pin 87654321 >/dev/null
tool() { pkcs11-tool --module "$SOFTHSM" --login --pin "$PIN" "$@" >/dev/null 2>&1; }
tool --keypairgen --key-type rsa:2048 --id 42 --label bench
tool --read-object --type pubkey --id 42 -o "$work/pub.der"
openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -subj /CN=BenchCA -days 1 2>/dev/null
openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/pub.pem" \
  -subj /CN=bench -days 1 -outform DER -out "$work/cert.der" 2>/dev/null
tool --write-object "$work/cert.der" --type cert --id 42 --label bench
thumbprint=$(openssl x509 -inform DER -in "$work/cert.der" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
export ANKOR_PKCS11_MODULE_GD=$SOFTHSM

digest=$(head -c 32 /dev/zero | base64 -w0)
list=$(python3 -c 'import base64, json, sys
n, d = int(sys.argv[1]), sys.argv[2]
print(base64.b64encode(json.dumps([{"value": d, "hashedData": True, "id": i} for i in range(n)]).encode()).decode())' "$count" "$digest")

seconds() {  # wall time of the command, in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.4f", e - s}'
}
single_runs() {
  for ((i = 0; i < count; i++)); do
    "$build/bin/ankor" pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$digest" true
  done
}

# Each command once to check it works (and to warm the caches), then the timed runs.
"$build/bench/pkcs11_floor" "$SOFTHSM" "$PIN" 42 "$count"
check=$("$build/bin/ankor" pkcs11 crypt signList GD "$thumbprint" sha256 "$PIN" "$list")
signed=$(grep -c '"signed": "' <<<"$check" || true)
[ "$signed" -eq "$count" ] || { echo "signList gave $signed signatures, not $count: $check" >&2; exit 1; }
for ((run = 0; run < runs; run++)); do
  echo "floor $(seconds "$build/bench/pkcs11_floor" "$SOFTHSM" "$PIN" 42 "$count")"
  echo "signList $(seconds "$build/bin/ankor" pkcs11 crypt signList GD "$thumbprint" sha256 "$PIN" "$list")"
  echo "single $(seconds single_runs)"
done >"$work/times"
median() { awk -v n="$1" '$1 == n {print $2}' "$work/times" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
floor=$(median floor)
batch=$(median signList)
single=$(median single)
echo "== $count signatures on SoftHSM2 (2048-bit RSA), $(nproc) cores, median of $runs runs"
echo "C floor (one process, same Cryptoki calls): $floor s"
echo "ankor pkcs11 crypt signList (one run):      $batch s"
echo "ankor pkcs11 crypt sign ($count runs):         $single s"
awk -v f="$floor" -v b="$batch" -v s="$single" 'BEGIN {
  printf "signList / floor: %.2fx (goal <= 1.2x: %s)\n", b / f, (b <= 1.2 * f) ? "met" : "MISSED"
  printf "single runs / signList: %.1fx (goal >= 5x: %s)\n", s / b, (s >= 5 * b) ? "met" : "MISSED"
}'
