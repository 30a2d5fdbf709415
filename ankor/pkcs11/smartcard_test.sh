#!/usr/bin/env bash
# The real smart-card middleware stack: pcscd (started here in the foreground, with
# the vpcd reader driver on a port of its own), a software CAC card of libcacard made
# from an NSS database of throw-away keys and certificates, bridged to vpcd by
# testing/vcard_bridge.cpp, and OpenSC's PKCS#11 module behind code GD. Skipped (77)
# only where this machine cannot run pcscd.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/peers.sh"
OPENSC=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
PIN=77777777
work=$(mktemp -d)
pcscd_pid="" bridge_pid=""

cleanup() {
  stop_pid "$bridge_pid"
  stop_pid "$pcscd_pid"
  rm -rf "$work" "$out_raw"
}
trap cleanup EXIT

command -v pcscd >/dev/null || skip "pcscd is not installed"

# pcscd has its socket at a fixed path (/run/pcscd/pcscd.comm; it reads no variable
# for it, while its client library reads PCSCLITE_CSOCK_NAME). It runs in a private
# mount namespace where /run is a directory of this test, so that it never meets a
# pcscd of the system; the clients are pointed at that socket.
mkdir -p "$work/run" "$work/readers"
if unshare --mount true 2>/dev/null; then
  namespace=(unshare --mount --propagation private)
elif unshare --user --map-root-user --mount true 2>/dev/null; then
  namespace=(unshare --user --map-root-user --mount --propagation private)
elif [ -e /run/pcscd/pcscd.comm ] || pgrep -x pcscd >/dev/null; then
  skip "a pcscd of the system is running and no private mount namespace is allowed here"
elif [ "$(id -u)" -eq 0 ]; then
  namespace=()
else
  skip "no private mount namespace and no root: pcscd cannot create its socket"
fi
if [ "${#namespace[@]}" -gt 0 ]; then
  export PCSCLITE_CSOCK_NAME=$work/run/pcscd/pcscd.comm
  if pgrep -x pcscd >/dev/null; then
    echo "note: a pcscd of the system is running; this test's pcscd has a socket of its own"
  fi
fi

# vpcd's readers listen on a port and the next one; take two free ones.
free_port_pair 35963 36063
[ -n "$port" ] || skip "no two free ports for vpcd's readers"
printf 'FRIENDLYNAME "Ankor Virtual PCD"\nDEVICENAME /dev/null:%d\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID %d\n' \
  "$port" "$port" >"$work/readers/vpcd"

if [ "${#namespace[@]}" -gt 0 ]; then
  "${namespace[@]}" sh -c 'mount --bind "$1" /run && exec pcscd -f -d -c "$2"' pcscd \
    "$work/run" "$work/readers" >"$work/pcscd.log" 2>&1 &
else
  pcscd -f -d -c "$work/readers" >"$work/pcscd.log" 2>&1 &
fi
pcscd_pid=$!
for i in $(seq 100); do
  grep -q "daemon ready" "$work/pcscd.log" && break
  kill -0 "$pcscd_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "daemon ready" "$work/pcscd.log" || {
  tail -5 "$work/pcscd.log"
  skip "pcscd did not start on this machine"
}

# A throw-away CA issues two key pairs; both go into an NSS database whose password
# is the card's PIN.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj /CN=AnkorCardCA -days 2 2>/dev/null
nicknames=(card-one card-two)
printf '%s\n' "$PIN" >"$work/pin.txt"
mkdir -p "$work/nss"
certutil -N -d "sql:$work/nss" -f "$work/pin.txt"
for nick in "${nicknames[@]}"; do
  openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$nick.key" -subj "/CN=$nick" 2>/dev/null |
    openssl x509 -req -CA "$work/ca.pem" -CAkey "$work/ca.key" -days 2 -out "$work/$nick.pem" 2>/dev/null
  openssl pkcs12 -export -in "$work/$nick.pem" -inkey "$work/$nick.key" -name "$nick" \
    -passout pass:p12 -out "$work/$nick.p12"
  pk12util -i "$work/$nick.p12" -d "sql:$work/nss" -k "$work/pin.txt" -W p12 >/dev/null
done

"$TARVO_BUILD_DIR/tests/ankor_vcard_bridge" "$work/nss" "$port" "${nicknames[@]}" \
  >"$work/bridge.log" 2>&1 &
bridge_pid=$!

export ANKOR_PKCS11_MODULE_GD=$OPENSC
# Every run exits with 0; a sanitizer finding inside OpenSC's or pcsc-lite's calls
# would not.
ankor() {
  run_program ankor "$@"
  check "ankor $2 $3 exits with 0" 0 "$status"
}

tool() { pkcs11-tool --module "$OPENSC" "$@" 2>/dev/null; }

# The card is listed once pcscd has seen it and OpenSC has read it.
for i in $(seq 60); do
  ankor pkcs11 list tokens GD
  [ -n "$(member serial)" ] && break
  kill -0 "$bridge_pid" 2>/dev/null || break
  sleep 0.25
done
check "one token" 1 "$(member serial | grep -c .)"
serial=$(member serial)
check "the card's serial, as pkcs11-tool reads it" \
  "$(tool -L | sed -n 's/^ *serial num *: *//p' | head -1)" "$serial"
check "a hexadecimal serial" "" "$(tr -d '0-9a-fA-F' <<<"$serial")"

# The certificates are those put in the database.
ankor pkcs11 list certificates GD
for nick in "${nicknames[@]}"; do
  openssl x509 -in "$work/$nick.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f
done | sort >"$work/expected"
check "certificates of the card" "$(cat "$work/expected")" "$(member thumbprint | sort)"
check "on the card's token" "$serial" "$(member serial | sort -u)"

# Objects: the binary ids 00 01 and 00 02, each a private key with its certificate.
ankor pkcs11 list objects GD "$serial" "$PIN"
check "key ids" "AAE= AAI=" "$(member id | sort | paste -sd' ')"
check "each with a private key" "true true" "$(member privateKey | paste -sd' ')"
check "and a certificate" "true true" "$(member certificate | paste -sd' ')"

# Each key signs by thumbprint, by its id and a list; openssl verifies each signature
# against the certificate that carries the id (read back by pkcs11-tool).
printf 'signed on a card' >"$work/data.bin"
data_b64=$(base64 -w0 "$work/data.bin")
for id in 0001 0002; do
  tool --read-object --type cert --id "$id" -o "$work/card-$id.der"
  openssl x509 -inform DER -in "$work/card-$id.der" -out "$work/card-$id.pem"
  thumbprint=$(openssl x509 -in "$work/card-$id.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
  check "certificate $id is one put in the database" 1 "$(grep -cx "$thumbprint" "$work/expected")"
  ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
  check "sign by the thumbprint of $id" ok \
    "$(verify_pkcs1 "-certin -inkey $work/card-$id.pem" sha256 "$work/data.bin" "$(success_text)")"
  id_b64=$(printf "\\x${id:0:2}\\x${id:2:2}" | base64 -w0)
  ankor pkcs11 crypt signWithKeyId GD "$serial" "$id_b64" sha512 "$PIN" true \
    "$(openssl dgst -sha512 -binary "$work/data.bin" | base64 -w0)"
  check "signWithKeyId $id" ok \
    "$(verify_pkcs1 "-certin -inkey $work/card-$id.pem" sha512 "$work/data.bin" "$(success_text)")"
  # signList: data and a finished digest in one run and one login, the PIN from
  # standard input.
  for hash in sha1 sha256 sha512; do
    list=$(printf '[{"value":"%s","hashedData":false,"id":"data"},{"value":"%s","hashedData":true,"id":"digest"}]' \
      "$data_b64" "$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)" | base64 -w0)
    ankor pkcs11 crypt signList GD "$thumbprint" "$hash" - "$list" < <(printf '%s\n' "$PIN")
    for element in 0 1; do
      check "signList $hash, key $id, element $element" ok \
        "$(verify_pkcs1 "-certin -inkey $work/card-$id.pem" "$hash" "$work/data.bin" \
           "$(python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["success"][int(sys.argv[1])]["signed"])' "$element" <<<"$out")")"
    done
  done
done

# Certificate details: each certificate of the card with its id (00 01, 00 02), label
# and fields as pkcs11-tool -O and openssl read them; privateKey as pkcs11-tool shows a
# private key with that id without login.
ankor pkcs11 list certificateDetails GD
public_objects=$(tool -O)
for id in 0001 0002; do
  thumbprint=$(openssl x509 -inform DER -in "$work/card-$id.der" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
  record=$(record_of "$thumbprint")
  check "details of certificate $id: fields as openssl reads them" "$(openssl_fields "$work/card-$id.der")" \
    "$(pick "$record" subject issuer serialNumber notBefore notAfter)"
  label=$(awk -v id="$id" '/^[A-Z]/ {c = /^Certificate Object/}
    c && /label:/ {sub(/^ *label: */, ""); label = $0} c && /ID:/ && $2 == id {print label; exit}' <<<"$public_objects")
  has_key=$(awk -v id="$id" '/^[A-Z]/ {k = /^Private Key Object/} k && /ID:/ && $2 == id {found = 1}
    END {print found ? "True" : "False"}' <<<"$public_objects")
  check "details of certificate $id: id, label, token and DER as pkcs11-tool reads them" \
    "$(python3 -c 'import json, sys; print(json.dumps({"type": "GD", "serial": sys.argv[1], "id": sys.argv[2],
"label": sys.argv[3], "certificate": sys.argv[4], "privateKey": sys.argv[5] == "True"}, sort_keys=True))' \
       "$serial" "$(printf "\\x${id:0:2}\\x${id:2:2}" | base64 -w0)" "$label" "$(base64 -w0 "$work/card-$id.der")" "$has_key")" \
    "$(pick "$record" type serial id label certificate privateKey)"
done
check "as many details as certificates" 2 "$(member thumbprint | grep -c .)"

# system info modules: OpenSC's module with its CK_INFO as pkcs11-tool -I reads it, and
# the reader's slot holding the card with the label, serial and flags pkcs11-tool -L shows.
ankor system info modules GD
entry=$(python3 -c 'import json, sys; print(json.dumps(json.loads(sys.stdin.read())["success"][0]))' <<<"$out")
check "OpenSC's module, loaded and initialised, its CK_INFO as pkcs11-tool reads it" \
  "$(ck_info_expected "$OPENSC" "$(tool -I)")" \
  "$(pick "$entry" path present loaded loadError initialized initializeResult cryptokiVersion manufacturerId libraryDescription libraryVersion)"
slots=$(tool -L)
card=$(python3 -c 'import json, sys
print(json.dumps([s for s in json.loads(sys.argv[1])["slots"] if s["serial"] == sys.argv[2]][0], sort_keys=True))' "$entry" "$serial")
check "the card's slot: label and visibility" \
  "$(python3 -c 'import json, sys; print(json.dumps({"label": sys.argv[1], "tokenPresent": True, "visible": True}, sort_keys=True))' \
     "$(sed -n 's/^ *token label *: *//p' <<<"$slots" | head -1)")" "$(pick "$card" label tokenPresent visible)"
for pair in "login required:loginRequired" "PIN initialized:userPinInitialized" "token initialized:tokenInitialized"; do
  tool_says=$(sed -n 's/^ *token flags *: *//p' <<<"$slots" | head -1 | grep -c "${pair%%:*}" || true)
  check "the flag ${pair#*:} as pkcs11-tool shows it" "$tool_says" \
    "$(python3 -c 'import json, sys; print(int(sys.argv[2] in json.loads(sys.argv[1])["flags"]))' "$card" "${pair#*:}")"
done

# A wrong PIN is refused (OpenSC answers CKR_GENERAL_ERROR for this card).
ankor pkcs11 list objects GD "$serial" 12345678
check "wrong PIN, objects" "$(envelope error '"Erro no Login - Erro Generico"')" "$out"
ankor pkcs11 crypt signWithKeyId GD "$serial" AAE= sha256 12345678 false "$data_b64"
check "wrong PIN, signature" "$(envelope error '"Erro no Login - Erro Generico"')" "$out"

# The card taken out: its token disappears.
stop_pid "$bridge_pid"
bridge_pid=""
for i in $(seq 40); do
  ankor pkcs11 list tokens GD
  [ "$out" = "$(envelope success '[]')" ] && break
  sleep 0.25
done
check "no token once the card is out" "$(envelope success '[]')" "$out"
ankor pkcs11 list certificates GD
check "no certificate either" "$(envelope success '[]')" "$out"
ankor pkcs11 crypt signWithKeyId GD "$serial" AAE= sha256 "$PIN" false "$data_b64"
check "its serial names no token" "$(envelope error '"Token Type ou Serial invalido"')" "$out"

finish
