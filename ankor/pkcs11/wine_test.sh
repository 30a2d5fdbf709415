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
rm -f "$gd_module.objects" "$(in_prefix ET windows-first)"
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

# Codes whose first location holds no file, or a file that is no library.
run_program ankor pkcs11 list tokens ET
check "module file at the second location only" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"
run_program ankor pkcs11 list tokens AT
check "file that does not load" "$(envelope error '"Erro ao inicializar biblioteca LoadLibrary"')" "$out"
run_program ankor pkcs11 list tokens ND
check "ND with missing modules" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"

finish
