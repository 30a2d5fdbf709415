#!/usr/bin/env bash
# ankor.exe under Wine loads a module DLL of the tests from the table's own first
# location (C:\Windows\SysWOW64\aetpkss1.dll for GD): tokens listing, key generation,
# public key, signatures checked by openssl, certificate import, signing by
# thumbprint; and the fileExists and LoadLibrary failures of other codes. The prefix
# is a 64-bit one, so SysWOW64 is the 32-bit system folder of 64-bit Windows, and
# C:\Windows\System32 (the table's second row, what 32-bit Windows has) is the 64-bit
# one, which a 32-bit process never sees under that name.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT
PIN=1234
SERIAL=0A1B2C3D

# in_prefix CODE COLUMN: the file of the test prefix at a Windows location of the
# module table: each folder under the name the prefix already gives it, in any letter
# case (a 64-bit prefix has "Program Files (x86)", a 32-bit one none, and Wine keeps
# "windows/syswow64" in lower case), a new folder in lower case; the file name as the
# table writes it.
in_prefix() {
  python3 - "$TARVO_BUILD_DIR/wineprefix/drive_c" "$(module_location "$1" "$2")" <<'PY'
import os, sys
path, parts = sys.argv[1], sys.argv[2].split("\\")[1:]
for i, part in enumerate(parts):
    found = [e for e in (os.listdir(path) if os.path.isdir(path) else []) if e.lower() == part.lower()]
    path = os.path.join(path, sorted(found)[0] if found else part if i == len(parts) - 1 else part.lower())
print(path)
PY
}

# The prefix exists once a program has run in it.
run_program ankor system info version
syswow64="$TARVO_BUILD_DIR/wineprefix/drive_c/windows/syswow64"
check "the prefix is a 64-bit one (its SysWOW64 holds the 32-bit system)" 1 \
  "$([ -f "$syswow64/kernel32.dll" ] && echo 1 || echo 0)"
gd_module=$(in_prefix GD windows-first)
dx_module=$(in_prefix DX windows-first)
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule.dll" "$gd_module"
rm -f "$gd_module.objects" "$gd_module.objects.13" "$gd_module.logins" \
  "$(in_prefix ET windows-first)"
printf 'not a library' >"$(in_prefix AT windows-first)"
# ET's module only at its second location (the 64-bit System32), which is never tried.
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule.dll" "$(in_prefix ET windows-second)"

run_program ankor pkcs11 list tokens GD
expected_tokens=$(cat <<'JSON'
{
    "success": [
        {
            "freePrivateMemory": 16384,
            "freePublicMemory": 32768,
            "manufacturerId": "Ankor tests",
            "serial": "0A1B2C3D",
            "slotDescription": "Ankor test slot",
            "slotId": "12",
            "tokenLabel": "Ankor Wine Token",
            "tokenModel": "Wine module",
            "type": "GD"
        }
    ]
}
JSON
)
check "tokens listing through the module DLL" "$expected_tokens" "$out"

run_program ankor pkcs11 repo createKeyPair GD "$SERIAL" "Wine key" 2048 "$PIN"
key_b64=$(success_text)
key_id=$(base64 -d <<<"$key_b64")
check "key id" "-$(printf 'Wine key' | base64 -w0)" "${key_id:4}"

run_program ankor pkcs11 repo getPublicKey GD "$SERIAL" "$key_b64"
modulus_b64=$(success_text)
check "modulus of a 2048-bit key" 344 "${#modulus_b64}"
# The public key from modulus and exponent, for openssl.
printf 'asn1=SEQUENCE:key\n[key]\nn=INTEGER:0x%s\ne=INTEGER:65537\n' \
  "$(base64 -d <<<"$modulus_b64" | od -An -tx1 | tr -d ' \n')" >"$work/key.cnf"
openssl asn1parse -genconf "$work/key.cnf" -out "$work/key.der" >/dev/null
openssl rsa -RSAPublicKey_in -inform DER -in "$work/key.der" -pubout -out "$work/pub.pem" 2>/dev/null

printf 'signed under Wine' >"$work/data.bin"
data_b64=$(base64 -w0 "$work/data.bin")
for hash in sha1 sha256 sha512; do
  run_program ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" "$hash" "$PIN" false "$data_b64"
  check "signature ($hash) verifies" ok "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
done
run_program ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha1 "$PIN" true "$data_b64"
check "wrong digest length" "$(envelope error '"Tamanho data nao condiz com algoritmo utilizado"')" "$out"
run_program ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha256 9999 false "$data_b64"
check "wrong PIN" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"

# The PIN word "-": the PIN is the first line of standard input (CR LF ends it too).
run_program ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha256 - false "$data_b64" \
  < <(printf '%s\r\n' "$PIN") 2>"$work/all-output"
check "signature with the PIN read from standard input" ok \
  "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" sha256 "$work/data.bin" "$(success_text)")"
while IFS='|' read -r description value input; do
  if [ "$input" = closed ]; then
    run_program ankor pkcs11 list objects GD "$SERIAL" - <&- 2>>"$work/all-output"
  else
    run_program ankor pkcs11 list objects GD "$SERIAL" - < <(printf "$input" "$PIN") 2>>"$work/all-output"
  fi
  check "$description" "$(envelope error "$value")" "$out"
  cat "$out_raw" >>"$work/all-output"
done <<'CASES'
a wrong PIN read from standard input|"Erro no Login - Pin incorreto"|9%s\n
standard input closed|"PIN nao informado"|closed
standard input empty|"PIN nao informado"|
CASES
check "the PIN is in no output" 0 "$(grep -c -- "$PIN" "$work/all-output" || true)"

# A certificate for the key, imported with the 6-attribute template, then used.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj /CN=AnkorWineCA -days 2 2>/dev/null
openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/pub.pem" \
  -subj "/CN=Wine key" -days 2 -out "$work/cert.pem" 2>/dev/null
run_program ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" "Wine key" "$PIN" \
  "$(openssl x509 -in "$work/cert.pem" -outform DER | base64 -w0)"
check "import" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
thumbprint=$(openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
run_program ankor pkcs11 list certificates GD
check "certificate thumbprint" "$thumbprint" "$(member thumbprint)"
run_program ankor pkcs11 list objects GD "$SERIAL" "$PIN"
expected_objects=$(cat <<JSON
{
    "success": [
        {
            "certificate": true,
            "id": "$key_b64",
            "label": "Wine key",
            "privateKey": true,
            "publicKey": true
        }
    ]
}
JSON
)
check "objects: all three kinds under one id" "$expected_objects" "$out"
run_program ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
check "signature by thumbprint verifies against the certificate" ok \
  "$(verify_pkcs1 "-certin -inkey $work/cert.pem" sha256 "$work/data.bin" "$(success_text)")"

# A module that exports C_GetFunctionList alone (DX's location): the same flow
# through its function table.
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule_table.dll" "$dx_module"
rm -f "$dx_module.objects"
run_program ankor pkcs11 list tokens DX
check "tokens listing through the function table" "$(sed 's/"GD"/"DX"/' <<<"$expected_tokens")" "$out"
run_program ankor pkcs11 repo createKeyPair DX "$SERIAL" "Table key" 1024 "$PIN"
table_key=$(success_text)
check "key pair through the function table" "-$(printf 'Table key' | base64 -w0)" "$(base64 -d <<<"$table_key" | cut -c5-)"
run_program ankor pkcs11 repo getPublicKey DX "$SERIAL" "$table_key"
printf 'asn1=SEQUENCE:key\n[key]\nn=INTEGER:0x%s\ne=INTEGER:65537\n' \
  "$(success_text | base64 -d | od -An -tx1 | tr -d ' \n')" >"$work/table.cnf"
openssl asn1parse -genconf "$work/table.cnf" -out "$work/table.der" >/dev/null
openssl rsa -RSAPublicKey_in -inform DER -in "$work/table.der" -pubout -out "$work/table.pem" 2>/dev/null
run_program ankor pkcs11 crypt signWithKeyId DX "$SERIAL" "$table_key" sha256 "$PIN" false "$data_b64"
check "signature through the function table verifies" ok \
  "$(verify_pkcs1 "-pubin -inkey $work/table.pem" sha256 "$work/data.bin" "$(success_text)")"
run_program ankor pkcs11 crypt signWithKeyId DX "$SERIAL" "$table_key" sha256 9999 false "$data_b64"
check "wrong PIN through the function table" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"

# signList through the module DLL: data and a finished digest in one run, the PIN
# from standard input; then the refusals that name an element, and the bound (the
# longest list, of bare zeros, still fits Windows' command line).
list=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":true,"id":"two"}]' \
  "$data_b64" "$(openssl dgst -sha256 -binary "$work/data.bin" | base64 -w0)" | base64 -w0)
run_program ankor pkcs11 crypt signList GD "$thumbprint" sha256 - "$list" < <(printf '%s\n' "$PIN")
for element in 0 1; do
  check "signList element $element verifies against the certificate" ok \
    "$(verify_pkcs1 "-certin -inkey $work/cert.pem" sha256 "$work/data.bin" \
       "$(python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["success"][int(sys.argv[1])]["signed"])' "$element" <<<"$out")")"
done
check "signList ids in list order" "1 two" \
  "$(python3 -c 'import json, sys; print(*[e["id"] for e in json.loads(sys.stdin.read())["success"]])' <<<"$out")"
run_program ankor pkcs11 crypt signList GD "$thumbprint" sha1 "$PIN" "$list"
check "signList: a data element is fine, the sha256 digest is not a sha1 one" \
  "$(envelope error '"Elemento 2 (id \"two\"): Tamanho data nao condiz com algoritmo utilizado"')" "$out"
run_program ankor pkcs11 crypt signList GD "$thumbprint" sha256 "$PIN" "$(printf '[%s0]' "$(printf '0,%.0s' $(seq 10000))" | base64 -w0)"
check "signList of 10001 elements" "$(envelope error '"Lista invalida: mais de 10000 elementos"')" "$out"

# Certificate details through the module DLL: the imported certificate with its id,
# label and fields as openssl reads them; the module shows its private key without
# login, so privateKey is true.
run_program ankor pkcs11 list certificateDetails GD
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
record=$(record_of "$thumbprint")
check "certificate details: fields as openssl reads them" "$(openssl_fields "$work/cert.der")" \
  "$(pick "$record" subject issuer serialNumber notBefore notAfter)"
check "certificate details: token, id, label, DER, private key" \
  "$(python3 -c 'import json, sys; print(json.dumps({"type": "GD", "serial": sys.argv[1], "id": sys.argv[2],
"label": "Wine key", "certificate": sys.argv[3], "privateKey": True}, sort_keys=True))' \
     "$SERIAL" "$key_b64" "$(base64 -w0 "$work/cert.der")")" \
  "$(pick "$record" type serial id label certificate privateKey)"

# system info modules ND: the module DLL (its CK_INFO and its one slot), codes whose
# first location holds nothing or a file that is no library (the system's error text),
# each in its entry; the whole answer is a success.
# BR's location holds a copy whose C_Initialize answers CKR_DEVICE_ERROR (48), OB's one
# whose token reports CKF_USER_PIN_LOCKED.
br_module=$(in_prefix BR windows-first)
ob_module=$(in_prefix OB windows-first)
mkdir -p "$(dirname "$br_module")" "$(dirname "$ob_module")"
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule.dll" "$br_module"
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule.dll" "$ob_module"
echo 48 >"$br_module.initialize"
echo 0x40000 >"$ob_module.tokenflags"
run_program ankor system info modules ND
rm -f "$br_module" "$br_module.initialize" "$ob_module" "$ob_module.tokenflags" "$ob_module.objects"
module_entry() {
  python3 -c 'import json, sys
print(json.dumps([m for m in json.loads(sys.stdin.read())["success"] if m["type"] == sys.argv[1]][0], sort_keys=True))' "$1" <<<"$out"
}
check "every code of ND has its entry, in table order" "GD ET AT BR OB EP DX" \
  "$(member type | tr '\n' ' ' | sed 's/ $//')"
check "the module DLL, loaded and initialised, with its CK_INFO" \
  "$(python3 -c 'import json, sys; print(json.dumps({"path": sys.argv[1], "present": True, "loaded": True,
"loadError": None, "initialized": True, "initializeResult": 0, "cryptokiVersion": "2.20",
"manufacturerId": "Ankor tests", "libraryDescription": "Ankor Wine module", "libraryVersion": "1.0"}, sort_keys=True))' \
     "$(module_location GD windows-first)")" \
  "$(pick "$(module_entry GD)" path present loaded loadError initialized initializeResult cryptokiVersion manufacturerId libraryDescription libraryVersion)"
check "its slot and token" \
  '[{"flags": ["loginRequired", "userPinInitialized", "tokenInitialized"], "label": "Ankor Wine Token", "model": "Wine module", "serial": "0A1B2C3D", "slotDescription": "Ankor test slot", "slotId": "12", "tokenPresent": true, "visible": true}]' \
  "$(python3 -c 'import json, sys; print(json.dumps(json.loads(sys.argv[1])["slots"], sort_keys=True))' "$(module_entry GD)")"
check "a module at its second location only is not present at the first" \
  '{"loaded": false, "present": false}' "$(pick "$(module_entry ET)" present loaded)"
# The system's text after the code is Wine's own ("Bad EXE format for %1.").
check "a file that is no library: LoadLibraryExA's error 193 and the system's text" \
  "present loaded=False LoadLibraryExA $(module_location AT windows-first): error 193: text" \
  "$(python3 -c 'import json, re, sys
m = json.loads(sys.argv[1])
print("present" if m["present"] else "absent", "loaded=%s" % m["loaded"],
      re.sub(r"(error 193: ).+$", r"\1text", m["loadError"]))' "$(module_entry AT)")"
check "a module whose C_Initialize fails, with its code" \
  '{"cryptokiVersion": null, "initializeResult": 48, "initialized": false, "loaded": true, "slots": []}' \
  "$(pick "$(module_entry BR)" loaded initialized initializeResult cryptokiVersion slots)"
check "a locked token says userPinLocked" '["loginRequired", "userPinInitialized", "userPinLocked", "tokenInitialized"]' \
  "$(python3 -c 'import json, sys; print(json.dumps(json.loads(sys.argv[1])["slots"][0]["flags"]))' "$(module_entry OB)")"
check "the module exporting only C_GetFunctionList, through its table" '{"cryptokiVersion": "2.20", "initialized": true}' \
  "$(pick "$(module_entry DX)" initialized cryptokiVersion)"

# The module's token behaviours (testing/test_module_win32.cpp), each for one run:
# token flags, a failing C_Initialize or slot listing, a token without the raw RSA
# mechanism, two tokens with one serial, a module that wants CKA_SUBJECT. Its login
# record counts the tries a token saw.
logins="$gd_module.logins"
login_lines() { [ ! -f "$logins" ] || tr -d '\r' <"$logins"; rm -f "$logins"; }
tm() {  # tm VARIABLE=VALUE... -- PROGRAM ARGS: runs PROGRAM with the module's behaviours set
  local settings=() setting
  while [ "$1" != "--" ]; do settings+=("ANKOR_TESTMODULE_$1"); shift; done
  shift
  for setting in "${settings[@]}"; do export "${setting?}"; done
  run_program "$@"
  for setting in "${settings[@]}"; do unset "${setting%%=*}"; done
}
padded=$((0x1 | 0x4 | 0x8 | 0x400 | 0x100))  # the default flags and a PIN pad
login_lines >/dev/null

tm FLAGS=$padded -- ankor pkcs11 list objects GD "$SERIAL" ND
check "a PIN pad takes the NULL login" "$key_b64" "$(member id | head -1)"
check "one login through the PIN pad" "slot=12 pin=NULL rv=0x00000000" "$(login_lines)"
tm FLAGS=$((0x40D)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
check "the default flags and the PIN" "$key_b64" "$(member id | head -1)"
check "one login with the PIN" "slot=12 pin=given rv=0x00000000" "$(login_lines)"
tm TOKENS=2 -- ankor pkcs11 list tokens GD
check "two tokens with one serial" "12 $SERIAL Ankor Wine Token|13 $SERIAL Ankor Wine Token 2" \
  "$(python3 -c 'import json, sys
print("|".join("%s %s %s" % (t["slotId"], t["serial"], t["tokenLabel"]) for t in json.loads(sys.stdin.read())["success"]))' <<<"$out")"
tm MECHANISMS=hashing -- ankor pkcs11 list tokens GD
check "a hashing-only token is listed like the others" "$expected_tokens" "$out"
login_lines >/dev/null

# What ankor makes of those behaviours: no login the token cannot take, a start-up
# failure named, an ambiguous serial refused (and the exact name), signing through
# the hashing mechanisms, certificates only and with their DER names.
token_behaviours() {
  local pin
  for pin in ND ""; do
    tm FLAGS=$((0x40D)) -- ankor pkcs11 list objects GD "$SERIAL" "$pin"
    check "PIN '$pin' without a PIN pad" "$(envelope error '"PIN nao informado"')" "$out"
  done
  check "no login tried" "" "$(login_lines)"
  tm FLAGS=$((0x40D | 0x40000)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "a locked PIN" "$(envelope error '"Erro no Login - Pin bloqueado"')" "$out"
  check "not tried" "" "$(login_lines)"
  tm FLAGS=$((0x405)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "no user PIN" "$(envelope error '"Erro no Login - Pin nao inicializado"')" "$out"
  login_lines >/dev/null
  tm INITIALIZE=0x6 -- ankor pkcs11 list tokens GD
  check "C_Initialize failing" "$(envelope error '"Erro ao inicializar biblioteca GD: C_Initialize 0x00000006"')" "$out"
  tm INITIALIZE=0x6 -- ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
  check "C_Initialize failing, sign" "$(envelope error '"Erro ao inicializar biblioteca GD: C_Initialize 0x00000006"')" "$out"
  tm SLOTLIST=0x30 -- ankor pkcs11 list tokens GD
  check "C_GetSlotList failing" "$(envelope error '"Erro ao inicializar biblioteca GD: C_GetSlotList 0x00000030"')" "$out"
  tm TOKENS=2 -- ankor pkcs11 list objects GD "$SERIAL" 5678
  check "one serial, two tokens, is an error of its own" \
    "$(envelope error "\"Serial ambiguo: 2 tokens com o serial $SERIAL; informe $SERIAL#12 ou $SERIAL#13\"")" "$out"
  check "no login on a guess" "" "$(login_lines)"
  rm -f "$gd_module.objects.13"
  tm TOKENS=2 -- ankor pkcs11 repo createKeyPair GD "$SERIAL#13" "Second key" 1024 5678
  second_key=$(success_text)
  check "the exact name reaches the second token" "-$(printf 'Second key' | base64 -w0)" \
    "$(base64 -d <<<"$second_key" | cut -c5-)"
  tm TOKENS=2 -- ankor pkcs11 list objects GD "$SERIAL#13" 5678
  check "its objects are its own" "$second_key" "$(member id)"
  check "logins on the second token only" $'slot=13 pin=given rv=0x00000000\nslot=13 pin=given rv=0x00000000' "$(login_lines)"
  local hash
  for hash in sha1 sha256 sha512; do
    tm MECHANISMS=hashing -- ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" "$hash" "$PIN" false "$data_b64"
    check "no raw RSA, $hash data signed by the hashing mechanism" ok \
      "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
  done
  tm MECHANISMS=hashing -- ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha256 "$PIN" true \
    "$(openssl dgst -sha256 -binary "$work/data.bin" | base64 -w0)"
  check "no raw RSA, a finished digest is an error" \
    "$(envelope error '"Token sem CKM_RSA_PKCS: um hash ja calculado nao pode ser assinado"')" "$out"
  tm REQUIRE_SUBJECT=1 -- ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" "Wine key" "$PIN" \
    "$(openssl x509 -in "$work/cert.pem" -outform DER | base64 -w0)"
  check "the 6-attribute template carries CKA_SUBJECT" \
    "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  # The last object stored: its subject, issuer and serial number fields (hex).
  check "the stored subject, issuer and serial number are the certificate's DER" \
    "$(python3 "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/certificate_fields.py" "$work/cert.pem" | sed 's/^/x/; s/ / x/g')" \
    "$(tail -1 "$gd_module.objects" | tr -d '\r' | awk '{print $6, $7, $8}')"
  local before; before=$(wc -l <"$gd_module.objects")
  run_program ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" Junk "$PIN" "$(printf 'not a certificate' | base64 -w0)"
  check "junk refused" "$(envelope error '"Erro na importação do certificado: o certificado nao e um X.509 em DER"')" "$out"
  check "nothing stored" "$before" "$(wc -l <"$gd_module.objects")"
  # The command line reaches ankor.exe in the ANSI code page (1252 here): "é" is the one
  # byte E9, so these 18 characters are 18 bytes and are kept whole.
  run_program ankor pkcs11 repo createKeyPair GD "$SERIAL" "ABCDEFGHIJKLMNOPQé" 1024 "$PIN"
  check "a label in the ANSI code page" "-$(printf 'ABCDEFGHIJKLMNOPQ\xe9' | base64 -w0)" \
    "$(success_text | base64 -d | cut -c5-)"
  login_lines >/dev/null
}
token_behaviours

# Codes whose first location holds no file, or a file that is no library.
run_program ankor pkcs11 list tokens ET
check "module file at the second location only" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"
run_program ankor pkcs11 list tokens AT
check "file that does not load" "$(envelope error '"Erro ao inicializar biblioteca LoadLibrary"')" "$out"
run_program ankor pkcs11 list tokens ND
check "ND with missing modules" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"

finish
