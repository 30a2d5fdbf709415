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
free_port_pair 42321 42421
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

# The enrolment on the first token, named exactly (serial#slotId): its serial is
# every token's. The templates of AT and of the other codes are both taken.
enrol tpm2 GD "$SERIAL#1" "$PIN_ONE" "TPM key" "GD AT"
key_one=$key_b64
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
print(len(d["success"]) if "success" in d else "error " + str(d["error"])[:47])' "$work/parallel.$i"
  done | sort | uniq -c | awk '{$1 = ""; print substr($0, 2)}' | paste -sd'|'
}

# What tpm2-pkcs11 does with the cases where ankor used to go wrong: a busy resource
# manager, one serial on every token, the PIN-pad login, junk certificates, a stopped
# resource manager.
token_cases() {
  # A refused client is an error naming the call, never an empty list.
  check "16 parallel listings answer the three tokens or the start-up error" "" \
    "$(parallel_answers | tr '|' '\n' | grep -vxE '3|error Erro ao inicializar biblioteca GD: C_Initialize' || true)"

  # One serial, three tokens: no login on a guess, and no failed authorisation; the
  # answer names the exact names, and the second token is enrolled through its own.
  ankor pkcs11 list objects GD "$SERIAL" "$PIN_TWO"
  check "an ambiguous serial is an error of its own" \
    "$(envelope error "\"Serial ambiguo: 3 tokens com o serial $SERIAL; informe $SERIAL#1, $SERIAL#2 ou $SERIAL#3\"")" "$out"
  check "no login tried" 0x0 "$(lockout_counter)"
  enrol tpm2-two GD "$SERIAL#2" "$PIN_TWO" "Second TPM key" "GD AT"
  tpm2_dictionarylockout --clear-lockout >/dev/null
  ankor pkcs11 list objects GD "$SERIAL#1" "$PIN_ONE"
  check "the first token keeps only its own key" "$key_one" "$(member id)"

  ankor pkcs11 list objects GD "$SERIAL#1" ND
  check "ND without a PIN pad" "$(envelope error '"PIN nao informado"')" "$out"
  check "ND costs no authorisation" 0x0 "$(lockout_counter)"

  junk_certificates_refused GD GD "$SERIAL#1" "$key_one" "$PIN_ONE" \
    "" "$(printf 'not a certificate' | base64 -w0)"

  stop_pid "$abrmd_pid"
  abrmd_pid=""
  ankor pkcs11 list tokens GD
  check "abrmd stopped names the code and the call" 1 \
    "$(grep -c '"error": "Erro ao inicializar biblioteca GD: C_Initialize 0x[0-9A-F]\{8\}"' <<<"$out")"
}

token_cases

finish
