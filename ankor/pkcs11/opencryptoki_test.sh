#!/usr/bin/env bash
# opencryptoki's software token behind code GD (and AT, for the import): pkcsslotd is
# started here on a freshly initialised token, the whole enrolment runs through ankor
# (testing/enrol.sh), then what this middleware does with the PIN-pad login, a stopped
# slot daemon, junk certificates, a token without a user PIN and long labels.
# opencryptoki's places are compiled in (/var/lib/opencryptoki, /var/lock/opencryptoki,
# /var/run/pkcsslotd.*, /dev/shm), so the test uses them and wipes the software token
# before and after. Skipped (77) only where the slot daemon cannot run.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
work=$(mktemp -d)
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/enrol.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/peers.sh"

OCK=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so
OCK_SW=/usr/lib/x86_64-linux-gnu/opencryptoki/stdll/libpkcs11_sw.so
SWTOK=/var/lib/opencryptoki/swtok
PIDFILE=/var/run/pkcsslotd.pid
SLOT=3 SO_PIN=87654321 PIN=13572468
slotd_pid=""

wipe_token() {
  rm -rf "${SWTOK:?}"/* /dev/shm/var.lib.opencryptoki.swtok
  mkdir -p "$SWTOK/TOK_OBJ"
  chgrp -R pkcs11 "$SWTOK" 2>/dev/null || true
  chmod -R 0770 "$SWTOK" 2>/dev/null || true
}
stop_slotd() {
  [ -n "$slotd_pid" ] || return 0
  stop_pid "$slotd_pid"
  slotd_pid=""
  rm -f "$PIDFILE" /var/run/pkcsslotd.socket /var/lock/opencryptoki/LCK..APIlock \
    /var/lock/opencryptoki/swtok/LCK..swtok
}
cleanup() {
  stop_slotd
  [ -n "${wiped:-}" ] && wipe_token
  rm -rf "$work" "$out_raw"
}
trap cleanup EXIT

if [ ! -x /usr/sbin/pkcsslotd ] || [ ! -f "$OCK" ] || [ ! -f "$OCK_SW" ]; then
  skip "opencryptoki is not installed"
fi
[ -w "$SWTOK" ] || skip "$SWTOK is not writable here (root or group pkcs11 needed)"
# /var/lock is emptied at boot; without systemd-tmpfiles nothing makes the lock folders
# again, so make them as the package's tmpfiles entry does.
for dir in /var/lock/opencryptoki /var/lock/opencryptoki/swtok; do
  [ -d "$dir" ] || install -d -m 0770 -g pkcs11 "$dir" 2>/dev/null ||
    skip "$dir is missing and cannot be made here"
done
# The token and the daemon are the machine's: one run at a time (test runs of other
# build trees included).
exec 9>"/var/lock/opencryptoki/ankor-test.lock"
flock -w 120 9 || { echo "FAIL: another run has held the software token for two minutes"; exit 1; }
if [ -f "$PIDFILE" ] && kill -0 "$(cat "$PIDFILE")" 2>/dev/null; then
  skip "a pkcsslotd of the system is running (pid $(cat "$PIDFILE")); its token is not ours to wipe"
fi

# start_slotd: pkcsslotd forks and writes its pid file; wait (bounded) for that and
# for its socket.
start_slotd() {
  rm -f "$PIDFILE"
  /usr/sbin/pkcsslotd >"$work/slotd.log" 2>&1 || { cat "$work/slotd.log"; skip "pkcsslotd does not start here"; }
  wait_for 5 test -s "$PIDFILE" -a -S /var/run/pkcsslotd.socket || skip "pkcsslotd did not come up"
  slotd_pid=$(cat "$PIDFILE")
  kill -0 "$slotd_pid" 2>/dev/null || skip "pkcsslotd did not stay up"
}

wiped=1
wipe_token
start_slotd
# A fresh token: label, SO PIN, then the user PIN (first set by the SO, then changed).
printf 'Ankor Ock\n' | pkcsconf -I -c "$SLOT" -S "$SO_PIN" >/dev/null
pkcsconf -u -c "$SLOT" -S "$SO_PIN" -n 11223344 >/dev/null
pkcsconf -p -c "$SLOT" -U 11223344 -n "$PIN" >/dev/null

asan_resident --full-stacks "$OCK" "$OCK_SW"
export ANKOR_PKCS11_MODULE_GD=$OCK ANKOR_PKCS11_MODULE_AT=$OCK
ankor() { LD_PRELOAD=$preload run_program ankor "$@"; check "ankor $2 $3 exits with 0" 0 "$status"; }

ankor pkcs11 list tokens GD
serial=$(member serial)
check "one token, the software token's slot" "$SLOT|Ankor Ock|IBM SoftTok" \
  "$(member slotId)|$(member tokenLabel)|$(member tokenModel)"
check "a hexadecimal serial" "" "$(tr -d '0-9a-fA-F' <<<"$serial")"
check "the serial as pkcsconf reads it" \
  "$(pkcsconf -t -c "$SLOT" | sed -n 's/^[[:space:]]*Serial Number: *//p' | sed 's/ *$//')" "$serial"
# The memory figures are unavailable (all ones), which passes the free-space check.
check "memory figures unavailable" "4294967295 4294967295" "$(member freePublicMemory) $(member freePrivateMemory)"

# opencryptoki wants CKA_SUBJECT; both templates carry it (see token_cases for GD).
enrol opencryptoki GD "$serial" "$PIN" "Ock key" AT

# token_flags: CK_TOKEN_INFO.flags as pkcsconf prints them.
token_flags() { pkcsconf -t -c "$SLOT" | sed -n 's/^[[:space:]]*Flags: \(0x[0-9A-Fa-f]*\).*/\1/p'; }

# What opencryptoki does with the cases where ankor used to go wrong: the 6-attribute
# template (now with the certificate's names), junk certificates, a label cut inside
# a UTF-8 sequence, the PIN-pad login on a token without a PIN pad, a token without
# user PIN, a stopped slot daemon.
token_cases() {
  local cert_b64; cert_b64=$(openssl x509 -in "$cert_pem" -outform DER | base64 -w0)
  ankor pkcs11 repo importCertificate GD "$serial" "$key_b64" L "$PIN" "$cert_b64"
  check "6-attribute template with CKA_SUBJECT accepted" \
    "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  # pkcs11-tool prints CKA_SUBJECT and CKA_SERIAL_NUMBER decoded from their DER.
  local serial_number; serial_number=$(openssl x509 -in "$cert_pem" -noout -serial)
  check "the stored certificate carries its DER subject and serial number" \
    "serial: ${serial_number#serial=}|subject: DN: CN=Ock key" \
    "$(pkcs11-tool --module "$OCK" -O --type cert 2>/dev/null |
       sed -nE 's/^ *(subject|serial): +/\1: /p' | sort -u | paste -sd'|')"

  junk_certificates_refused GD AT "$serial" "$key_b64" "$PIN" \
    "" "$(printf 'not a certificate' | base64 -w0)" "$(base64 -w0 "$cert_pem")"

  ankor pkcs11 repo createKeyPair GD "$serial" "ABCDEFGHIJKLMNOPQé" 1024 "$PIN"
  check "the label cut before the sequence" \
    "-$(printf 'ABCDEFGHIJKLMNOPQ' | base64 -w0)" "$(success_text | base64 -d | cut -c5-)"

  local flags; flags=$(( $(token_flags) & 0x70000 ))
  local pin
  for pin in ND "" ND ND; do
    ankor pkcs11 list objects GD "$serial" "$pin"
    check "PIN '$pin' without a PIN pad" "$(envelope error '"PIN nao informado"')" "$out"
  done
  check "no failed try counted" "$flags" "$(( $(token_flags) & 0x70000 ))"
  ankor pkcs11 list objects GD "$serial" "$PIN"
  check "the right PIN still works" 1 "$(member id | grep -cxF "$key_b64")"

  printf 'Ankor Ock\n' | pkcsconf -I -c "$SLOT" -S "$SO_PIN" >/dev/null
  ankor pkcs11 list objects GD "$serial" "$PIN"
  check "a token without user PIN" "$(envelope error '"Erro no Login - Pin nao inicializado"')" "$out"

  stop_slotd
  ankor pkcs11 list tokens GD
  check "daemon stopped names the code and the call" 1 \
    "$(grep -c '"error": "Erro ao inicializar biblioteca GD: C_Initialize 0x[0-9A-F]\{8\}"' <<<"$out")"
  ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$(base64 -w0 <<<x)" false
  check "daemon stopped, sign names it too" 1 \
    "$(grep -c '"error": "Erro ao inicializar biblioteca GD: C_Initialize' <<<"$out")"
}

token_cases

finish
