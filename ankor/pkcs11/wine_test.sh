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
# module table (drive C:'s folders in lower case, as Wine keeps them; the file name as
# the table writes it).
in_prefix() {
  local location
  location=$(module_location "$1" "$2")
  location=${location#C:\\}
  location=${location//\\//}
  local folder=${location%/*}
  echo "$TARVO_BUILD_DIR/wineprefix/drive_c/${folder,,}/${location##*/}"
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
error_or_success() { python3 -c 'import json,sys; print(*json.loads(sys.stdin.read()))' <<<"$out"; }
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

# Answers that the issue-19 mends change, as ankor gives them today.
observe_today() {
  tm FLAGS=$((0x40D)) -- ankor pkcs11 list objects GD "$SERIAL" ND
  check "today: ND without a PIN pad is a wrong PIN" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"
  check "today: and a try the token counts" "slot=12 pin=NULL rv=0x000000a0" "$(login_lines)"
  tm FLAGS=$((0x40D | 0x40000)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "today: a locked PIN" "$(envelope error '"Erro no Login - Pin bloqueado"')" "$out"
  check "today: tried all the same" "slot=12 pin=given rv=0x000000a4" "$(login_lines)"
  tm FLAGS=$((0x405)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "today: no user PIN" "$(envelope error '"Erro no Login - Erro Generico"')" "$out"
  login_lines >/dev/null
  tm INITIALIZE=0x6 -- ankor pkcs11 list tokens GD
  check "today: C_Initialize failing is no token" "$(envelope success '[]')" "$out"
  tm INITIALIZE=0x6 -- ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
  check "today: and no certificate" "$(envelope success '"Nenhum certificado encontrado com o thumbprint enviado"')" "$out"
  tm SLOTLIST=0x30 -- ankor pkcs11 list tokens GD
  check "today: C_GetSlotList failing is no token" "$(envelope success '[]')" "$out"
  tm TOKENS=2 -- ankor pkcs11 list objects GD "$SERIAL" 5678
  check "today: the second token's PIN tried on the first" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"
  check "today: one failed try on the first token" "slot=12 pin=given rv=0x000000a0" "$(login_lines)"
  tm MECHANISMS=hashing -- ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha256 "$PIN" false "$data_b64"
  check "today: no raw RSA, no signature" "$(envelope success '""')" "$out"
  tm REQUIRE_SUBJECT=1 -- ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" "Wine key" "$PIN" \
    "$(openssl x509 -in "$work/cert.pem" -outform DER | base64 -w0)"
  check "today: no CKA_SUBJECT in the 6 attributes" "$(envelope error '"Erro na importação do certificado: 208"')" "$out"
  run_program ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" Junk "$PIN" "$(printf 'not a certificate' | base64 -w0)"
  check "today: junk imported" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  # The command line reaches ankor.exe in the ANSI code page: "é" is the one byte E9,
  # so these 18 characters are 18 bytes and are kept whole (no UTF-8 sequence to cut).
  run_program ankor pkcs11 repo createKeyPair GD "$SERIAL" "ABCDEFGHIJKLMNOPQé" 1024 "$PIN"
  check "today: a label in the ANSI code page" "-$(printf 'ABCDEFGHIJKLMNOPQ\xe9' | base64 -w0)" \
    "$(success_text | base64 -d | cut -c5-)"
  login_lines >/dev/null
}

# What the mends make of the same cases (MENDED=1 runs these instead).
mended_checks() {
  local pin
  for pin in ND ""; do
    tm FLAGS=$((0x40D)) -- ankor pkcs11 list objects GD "$SERIAL" "$pin"
    check "mended: PIN '$pin' without a PIN pad" "$(envelope error '"PIN nao informado"')" "$out"
  done
  check "mended: no login tried" "" "$(login_lines)"
  tm FLAGS=$((0x40D | 0x40000)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "mended: a locked PIN" "$(envelope error '"Erro no Login - Pin bloqueado"')" "$out"
  check "mended: not tried" "" "$(login_lines)"
  tm FLAGS=$((0x405)) -- ankor pkcs11 list objects GD "$SERIAL" "$PIN"
  check "mended: no user PIN" "$(envelope error '"Erro no Login - Pin nao inicializado"')" "$out"
  login_lines >/dev/null
  tm INITIALIZE=0x6 -- ankor pkcs11 list tokens GD
  check "mended: C_Initialize failing" "$(envelope error '"Erro ao inicializar biblioteca GD: C_Initialize 0x00000006"')" "$out"
  tm INITIALIZE=0x6 -- ankor pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
  check "mended: C_Initialize failing, sign" "$(envelope error '"Erro ao inicializar biblioteca GD: C_Initialize 0x00000006"')" "$out"
  tm SLOTLIST=0x30 -- ankor pkcs11 list tokens GD
  check "mended: C_GetSlotList failing" "$(envelope error '"Erro ao inicializar biblioteca GD: C_GetSlotList 0x00000030"')" "$out"
  tm TOKENS=2 -- ankor pkcs11 list objects GD "$SERIAL" 5678
  check "mended: one serial, two tokens, is an error of its own" "error no login text" \
    "$(error_or_success) $(grep -q '"Erro no Login' <<<"$out" && echo login text || echo no login text)"
  check "mended: no login on a guess" "" "$(login_lines)"
  local hash
  for hash in sha1 sha256 sha512; do
    tm MECHANISMS=hashing -- ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" "$hash" "$PIN" false "$data_b64"
    check "mended: no raw RSA, $hash data signed by the hashing mechanism" ok \
      "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
  done
  tm MECHANISMS=hashing -- ankor pkcs11 crypt signWithKeyId GD "$SERIAL" "$key_b64" sha256 "$PIN" true \
    "$(openssl dgst -sha256 -binary "$work/data.bin" | base64 -w0)"
  check "mended: no raw RSA, a finished digest is an error" error "$(error_or_success)"
  tm REQUIRE_SUBJECT=1 -- ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" "Wine key" "$PIN" \
    "$(openssl x509 -in "$work/cert.pem" -outform DER | base64 -w0)"
  check "mended: the 6-attribute template carries CKA_SUBJECT" \
    "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  # The last object stored: its subject, issuer and serial number fields (hex).
  check "mended: the stored subject, issuer and serial number are the certificate's DER" \
    "$(python3 - "$work/cert.pem" <<'PY'
import base64, sys
der = base64.b64decode("".join(l for l in open(sys.argv[1]) if not l.startswith("-----")))
def element(b, i):  # where the value of the DER element at i starts, and where it ends
    n, j = b[i + 1], i + 2
    if n & 0x80:
        k = n & 0x7f
        n, j = int.from_bytes(b[j:j + k], "big"), j + k
    return j, j + n
tbs, _ = element(der, 0)
i, end = element(der, tbs)
fields = []
while i < end:
    _, e = element(der, i)
    fields.append(der[i:e])
    i = e
if fields[0][0] == 0xa0:  # the version
    fields = fields[1:]
serial, _, issuer, _, subject = fields[:5]
print("x" + subject.hex(), "x" + issuer.hex(), "x" + serial.hex())
PY
)" "$(tail -1 "$gd_module.objects" | tr -d '\r' | awk '{print $6, $7, $8}')"
  local before; before=$(wc -l <"$gd_module.objects")
  run_program ankor pkcs11 repo importCertificate GD "$SERIAL" "$key_b64" Junk "$PIN" "$(printf 'not a certificate' | base64 -w0)"
  check "mended: junk refused" error "$(error_or_success)"
  check "mended: nothing stored" "$before" "$(wc -l <"$gd_module.objects")"
  login_lines >/dev/null
}

if [ "${MENDED:-0}" = 1 ]; then mended_checks; else observe_today; fi

# Codes whose first location holds no file, or a file that is no library.
run_program ankor pkcs11 list tokens ET
check "module file at the second location only" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"
run_program ankor pkcs11 list tokens AT
check "file that does not load" "$(envelope error '"Erro ao inicializar biblioteca LoadLibrary"')" "$out"
run_program ankor pkcs11 list tokens ND
check "ND with missing modules" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"

finish
