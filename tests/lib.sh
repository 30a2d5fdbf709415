# Helpers for the end-to-end scripts. CTest passes TARVO_RUNNER (the Wine wrapper on
# win32, empty on Linux), TARVO_PLATFORM and TARVO_BIN.
set -euo pipefail

: "${TARVO_PLATFORM:?run through ctest}"
: "${TARVO_BIN:?run through ctest}"
failures=0
checks=0

exe() {  # path of a deliverable program
  if [ "$TARVO_PLATFORM" = win32 ]; then echo "$TARVO_BIN/$1.exe"; else echo "$TARVO_BIN/$1"; fi
}

# run_program NAME ARGS... : runs a deliverable; its standard output goes to $out (raw
# bytes in $out_raw), its exit status to $status.
out_raw=$(mktemp)
trap 'rm -f "$out_raw"' EXIT
run_program() {
  local program; program=$(exe "$1"); shift
  set +e
  if [ -n "${TARVO_RUNNER:-}" ]; then
    "$TARVO_RUNNER" "$program" "$@" >"$out_raw"
  else
    "$program" "$@" >"$out_raw"
  fi
  status=$?
  set -e
  # Windows text mode writes CR LF; compare with LF line ends.
  out=$(tr -d '\r' <"$out_raw"; printf x); out=${out%x}
}

# module_location CODE COLUMN: a location of the module table, read from the one file
# that holds it (ankor/pkcs11/module_table.txt). COLUMN: linux-first, linux-second,
# windows-first or windows-second.
module_location() {
  local field
  case "$2" in
    linux-first) field=2 ;; linux-second) field=3 ;;
    windows-first) field=4 ;; windows-second) field=5 ;;
    *) echo "module_location: no column $2" >&2; return 1 ;;
  esac
  awk -F'|' -v code="$1" -v field="$field" '$1 == code { print $field; found = 1 }
    END { exit !found }' "$TARVO_SOURCE_DIR/ankor/pkcs11/module_table.txt"
}

# skip REASON: ends the script as skipped, with the reason (77 is every script test's
# SKIP_RETURN_CODE, so CTest reports Skipped, never Passed).
skip() { echo "SKIP: $*"; exit 77; }

check() {  # check DESCRIPTION EXPECTED ACTUAL
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    failures=$((failures + 1))
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

# Readers of an ankor envelope held in $out: envelope, success_text, result, member.
source "$(dirname "${BASH_SOURCE[0]}")/envelope.sh"

# verify_pkcs1 KEYARGS HASH DATAFILE SIGNATURE_B64: "ok" when openssl accepts the
# PKCS#1 v1.5 signature of DATAFILE's HASH digest (KEYARGS: -pubin/-certin -inkey FILE).
verify_pkcs1() {
  local dir; dir=$(mktemp -d)
  base64 -d <<<"$4" >"$dir/sig.bin"
  openssl dgst "-$2" -binary "$3" >"$dir/digest.bin"
  # shellcheck disable=SC2086
  openssl pkeyutl -verify $1 -pkeyopt "digest:$2" -in "$dir/digest.bin" \
    -sigfile "$dir/sig.bin" >/dev/null 2>&1 && echo ok || echo bad
  rm -rf "$dir"
}

# record_of THUMBPRINT: the listed record of that thumbprint as compact JSON, "none"
# when the listing in $out has none.
record_of() {
  python3 -c 'import json, sys
rs = [r for r in json.loads(sys.stdin.read())["success"] if r["thumbprint"] == sys.argv[1]]
print(json.dumps(rs[0], sort_keys=True, ensure_ascii=False) if rs else "none")' "$1" <<<"$out"
}
# openssl_fields DER: a certificate's subject, issuer, serialNumber, notBefore and
# notAfter as openssl reads them, in the form of ankor's certificate listings (compact
# JSON, sorted members).
openssl_fields() {
  local subject issuer serial start end
  subject=$(openssl x509 -inform DER -in "$1" -noout -subject -nameopt RFC2253,-esc_msb | sed 's/^subject=//')
  issuer=$(openssl x509 -inform DER -in "$1" -noout -issuer -nameopt RFC2253,-esc_msb | sed 's/^issuer=//')
  serial=$(openssl x509 -inform DER -in "$1" -noout -serial | sed 's/^serial=//' | tr 'A-F' 'a-f')
  start=$(openssl x509 -inform DER -in "$1" -noout -startdate | sed 's/^notBefore=//')
  end=$(openssl x509 -inform DER -in "$1" -noout -enddate | sed 's/^notAfter=//')
  python3 -c 'import json, sys, datetime
iso = lambda t: datetime.datetime.strptime(t, "%b %d %H:%M:%S %Y GMT").strftime("%Y-%m-%dT%H:%M:%SZ")
print(json.dumps({"subject": sys.argv[1], "issuer": sys.argv[2], "serialNumber": sys.argv[3],
                  "notBefore": iso(sys.argv[4]), "notAfter": iso(sys.argv[5])}, sort_keys=True, ensure_ascii=False))' \
    "$subject" "$issuer" "$serial" "$start" "$end"
}
# pick JSON KEYS...: those members of a record, as compact JSON.
pick() {
  python3 -c 'import json, sys
r = json.loads(sys.argv[1]); print(json.dumps({k: r[k] for k in sys.argv[2:]}, sort_keys=True, ensure_ascii=False))' "$@"
}
# ck_info_expected PATH INFO: the members of a system info modules entry for a module
# at PATH that loaded and initialised, its CK_INFO taken from pkcs11-tool -I's output.
ck_info_expected() {
  python3 -c 'import json, re, sys
field = lambda name: re.search(r"^" + name + r" +(.*)$", sys.argv[2], re.M).group(1)
info = {"Cryptoki version": field("Cryptoki version"), "Manufacturer": field("Manufacturer"), "Library": field("Library")}
library = re.match(r"(.*) \(ver (.*)\)$", info["Library"])
print(json.dumps({"path": sys.argv[1], "present": True, "loaded": True, "loadError": None, "initialized": True,
                  "initializeResult": 0, "cryptokiVersion": info["Cryptoki version"], "manufacturerId": info["Manufacturer"],
                  "libraryDescription": library.group(1), "libraryVersion": library.group(2)}, sort_keys=True))' "$1" "$2"
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
