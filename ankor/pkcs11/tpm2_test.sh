#!/usr/bin/env bash
# tpm2-pkcs11 on a software TPM behind code GD (and AT, for the import): a D-Bus
# session bus, swtpm and tpm2-abrmd, all started here on folders and ports of the
# test's own; a store with two tokens made by tpm2_ptool. The whole enrolment runs
# through ankor (testing/enrol.sh) on the first token, then what this middleware does
# with two tokens of one serial, the PIN-pad login, junk certificates and a stopped
# resource manager. Skipped (77) only where the daemons cannot run.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
work=$(mktemp -d)
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/enrol.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/peers.sh"

TPM2=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
TABRMD_TCTI=/usr/lib/x86_64-linux-gnu/libtss2-tcti-tabrmd.so.0
PIN_ONE=24681357 PIN_TWO=97531864 SO_PIN=87654321
SERIAL=0000000000000000
dbus_pid="" swtpm_pid="" abrmd_pid=""
cleanup() {
  stop_pid "$abrmd_pid"
  stop_pid "$swtpm_pid"
  stop_pid "$dbus_pid"
  rm -rf "$work" "$out_raw"
}
trap cleanup EXIT

for program in dbus-daemon swtpm tpm2-abrmd tpm2_ptool tpm2_getcap; do
  command -v "$program" >/dev/null || skip "$program is not installed"
done
[ -f "$TPM2" ] || skip "tpm2-pkcs11 is not installed"

# A session bus of the test's own, so that abrmd's name meets no other.
dbus-daemon --session --nofork --address="unix:path=$work/bus" >"$work/dbus.log" 2>&1 &
dbus_pid=$!
wait_for 5 test -S "$work/bus" || skip "dbus-daemon did not start: $(tail -3 "$work/dbus.log")"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"

# swtpm listens on a port for commands and the next for control; take two free ones.
port=""
for candidate in $(seq 42321 2 42421); do
  if [ -z "$(ss -ltnH "( sport = :$candidate or sport = :$((candidate + 1)) )")" ]; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || skip "no two free ports for swtpm"
mkdir -p "$work/tpm" "$work/store"
swtpm socket --tpm2 --tpmstate "dir=$work/tpm" --flags not-need-init,startup-clear \
  --server "type=tcp,bindaddr=127.0.0.1,port=$port" --ctrl "type=tcp,bindaddr=127.0.0.1,port=$((port + 1))" \
  >"$work/swtpm.log" 2>&1 &
swtpm_pid=$!
wait_for 5 bash -c "[ -n \"\$(ss -ltnH '( sport = :$port )')\" ]" ||
  skip "swtpm did not start: $(tail -3 "$work/swtpm.log")"

# abrmd refuses to run as root unless told.
allow_root=()
[ "$(id -u)" -eq 0 ] && allow_root=(--allow-root)
start_abrmd() {
  tpm2-abrmd "${allow_root[@]}" --session --tcti="swtpm:host=127.0.0.1,port=$port" \
    >"$work/abrmd.log" 2>&1 &
  abrmd_pid=$!
  wait_for 10 tpm2_getcap properties-fixed >/dev/null 2>&1 ||
    skip "tpm2-abrmd did not start: $(tail -3 "$work/abrmd.log")"
}
export TPM2TOOLS_TCTI=tabrmd:bus_type=session TPM2_PKCS11_TCTI=tabrmd:bus_type=session
export TPM2_PKCS11_STORE=$work/store TSS2_LOG=all+none
start_abrmd

tpm2_ptool init >/dev/null
tpm2_ptool addtoken --pid=1 --label=one --sopin="$SO_PIN" --userpin="$PIN_ONE" >/dev/null
tpm2_ptool addtoken --pid=1 --label=two --sopin="$SO_PIN" --userpin="$PIN_TWO" >/dev/null

asan_resident "$TPM2" "$TABRMD_TCTI"
export ANKOR_PKCS11_MODULE_GD=$TPM2 ANKOR_PKCS11_MODULE_AT=$TPM2
ankor() { LD_PRELOAD=$preload run_program ankor "$@" 2>>"$work/ankor.err"; check "ankor $2 $3 exits with 0" 0 "$status"; }
# lockout_counter: the TPM's count of failed authorisations.
lockout_counter() { tpm2_getcap properties-variable | sed -n 's/^TPM2_PT_LOCKOUT_COUNTER: *//p'; }

# Both tokens and the empty slot that tpm2-pkcs11 always adds, all with one serial.
ankor pkcs11 list tokens GD
check "slots, labels and serials" "1 one $SERIAL|2 two $SERIAL|3  $SERIAL" \
  "$(python3 -c 'import json, sys
print("|".join("%s %s %s" % (t["slotId"], t["tokenLabel"], t["serial"]) for t in json.loads(sys.stdin.read())["success"]))' <<<"$out")"

# The enrolment on the first token (the one findStore picks for the serial). The 11
# attributes of AT are taken and so are the 6 of the other codes.
enrol tpm2 GD "$SERIAL" "$PIN_ONE" "TPM key" "GD AT"
# The wrong PIN of the enrolment was counted by the TPM; clear it so that the cases
# below start from no failed try (swtpm locks out after three).
tpm2_dictionarylockout --clear-lockout >/dev/null
check "no failed authorisation left" 0x0 "$(lockout_counter)"

# parallel_answers: 16 simultaneous tokens listings (abrmd refuses some clients with
# "MAX_COMMANDS exceeded"); prints each distinct answer once with its count: the
# number of tokens listed, or the error text.
parallel_answers() {
  local pids=() i
  for i in $(seq 16); do
    LD_PRELOAD=$preload "$(exe ankor)" pkcs11 list tokens GD >"$work/parallel.$i" 2>/dev/null &
    pids+=($!)
  done
  wait "${pids[@]}" || true
  for i in $(seq 16); do
    python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
print(len(d["success"]) if "success" in d else "error " + str(d["error"])[:41])' "$work/parallel.$i"
  done | sort | uniq -c | awk '{$1 = ""; print substr($0, 2)}' | paste -sd'|'
}

# Answers that the issue-19 mends change, as this middleware gives them today.
observe_today() {
  # A busy resource manager: the clients it refuses see no token ("0"), which is not
  # an error today.
  check "today: 16 parallel listings answer the three tokens or none" "" \
    "$(parallel_answers | tr '|' '\n' | grep -vxE '0|3' || true)"

  # The second token's PIN: its serial names the first token, whose login fails, and
  # the TPM counts that failure.
  ankor pkcs11 list objects GD "$SERIAL" "$PIN_TWO"
  check "today: the second token's PIN is tried on the first" \
    "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"
  check "today: and the TPM counts a failed authorisation" 0x1 "$(lockout_counter)"
  ankor pkcs11 repo createKeyPair GD "$SERIAL" "Two key" 1024 "$PIN_TWO"
  check "today: no key on the second token" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"
  tpm2_dictionarylockout --clear-lockout >/dev/null

  # PIN "ND" on a token without a PIN pad: tpm2-pkcs11 refuses the NULL PIN without
  # an authorisation (CKR_ARGUMENTS_BAD would be "Argumentos invalidos").
  ankor pkcs11 list objects GD "$SERIAL" ND
  check "today: ND" "$(envelope error '"Erro no Login - Erro Generico"')" "$out"
  check "today: ND costs no authorisation" 0x0 "$(lockout_counter)"

  # Junk under both templates is stored as certificates.
  local junk
  for junk in "" "$(printf 'not a certificate' | base64 -w0)"; do
    ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" Junk "$PIN_ONE" "$junk"
    check "today: junk '${junk:0:12}' imported" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  done

  # The resource manager stopped: C_Initialize fails, reported as no token.
  stop_pid "$abrmd_pid"
  abrmd_pid=""
  ankor pkcs11 list tokens GD
  check "today: abrmd stopped lists no token" "$(envelope success '[]')" "$out"
  ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN_ONE" "$(base64 -w0 <<<x)" false
  check "today: abrmd stopped, no certificate" \
    "$(envelope success '"Nenhum certificado encontrado com o thumbprint enviado"')" "$out"
}

# What the mends make of the same cases (MENDED=1 runs these instead).
mended_checks() {
  # A refused client is an error naming the call, never an empty list.
  check "mended: 16 parallel listings answer the three tokens or the start-up error" "" \
    "$(parallel_answers | tr '|' '\n' | grep -vxE '3|error Erro ao inicializar biblioteca GD: C_Initi' || true)"

  # One serial, two tokens: no login on a guess, and no failed authorisation.
  ankor pkcs11 list objects GD "$SERIAL" "$PIN_TWO"
  check "mended: an ambiguous serial is an error of its own" "error no login text" \
    "$(python3 -c 'import json,sys; print(*json.loads(sys.stdin.read()))' <<<"$out") $(grep -q '"Erro no Login' <<<"$out" && echo login text || echo no login text)"
  check "mended: no login tried" 0x0 "$(lockout_counter)"
  tpm2_dictionarylockout --clear-lockout >/dev/null

  ankor pkcs11 list objects GD "$SERIAL" ND
  check "mended: ND without a PIN pad" "$(envelope error '"PIN nao informado"')" "$out"
  check "mended: ND costs no authorisation" 0x0 "$(lockout_counter)"

  local junk before
  ankor pkcs11 list certificates GD
  before=$(member thumbprint | grep -c .)
  for junk in "" "$(printf 'not a certificate' | base64 -w0)"; do
    ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" Junk "$PIN_ONE" "$junk"
    check "mended: junk '${junk:0:12}' refused" error \
      "$(python3 -c 'import json,sys; print(*json.loads(sys.stdin.read()))' <<<"$out")"
  done
  ankor pkcs11 list certificates GD
  check "mended: no junk stored" "$before" "$(member thumbprint | grep -c .)"

  stop_pid "$abrmd_pid"
  abrmd_pid=""
  ankor pkcs11 list tokens GD
  check "mended: abrmd stopped names the code and the call" 1 \
    "$(grep -c '"error": "Erro ao inicializar biblioteca GD: C_Initialize 0x[0-9A-F]\{8\}"' <<<"$out")"
}

if [ "${MENDED:-0}" = 1 ]; then mended_checks; else observe_today; fi

finish
