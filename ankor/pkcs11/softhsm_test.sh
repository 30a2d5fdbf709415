#!/usr/bin/env bash
# The whole token flow of the real ankor against SoftHSM2 on a token of its own,
# cross-checked with pkcs11-tool and openssl: tokens listing, key generation, public
# key, signatures, certificate import, listings, signing by thumbprint.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/token.sh"

make_token "Ankor Test"
export ANKOR_PKCS11_MODULE_GD=$SOFTHSM ANKOR_PKCS11_MODULE_AT=$SOFTHSM
tool() { pkcs11-tool --module "$SOFTHSM" "$@" 2>/dev/null; }

# Tokens listing: one record, slotId a string of the decimal slot ID.
ankor pkcs11 list tokens GD
check "token serial" "$serial" "$(member serial)"
check "token label" "Ankor Test" "$(member tokenLabel)"
check "token model" "SoftHSM v2" "$(member tokenModel)"
slot_hex=$(tool -L | sed -n 's/^Slot [0-9]* (\(0x[0-9a-f]*\)).*/\1/p' | head -1)
check "slotId is the decimal slot ID, quoted" "\"slotId\": \"$((slot_hex))\"," \
  "$(grep -o '"slotId": .*' <<<"$out")"
check "free memory is a number" 1 "$(grep -c '"freePublicMemory": [0-9]*,' <<<"$out")"

# Key generation: a 21-letter label is cut to 18; the id is 4 characters, "-" and
# the base64 of the cut label.
label21="ABCDEFGHIJKLMNOPQRSTU"
ankor pkcs11 repo createKeyPair GD "$serial" "$label21" 2048 "$PIN"
key_b64=$(success_text)
key_id=$(base64 -d <<<"$key_b64")
check "key id fifth character" "-" "${key_id:4:1}"
check "key id label part" "$(printf ABCDEFGHIJKLMNOPQR | base64 -w0)" "${key_id:5}"
check "four distinct random characters" 4 "$(fold -w1 <<<"${key_id:0:4}" | sort -u | wc -l)"
key_hex=$(printf %s "$key_id" | od -An -tx1 | tr -d ' \n')
objects=$(tool -O --login --pin "$PIN")
check "pkcs11-tool sees both keys with the id" 2 "$(grep -c "ID: *$key_hex" <<<"$objects")"
check "pkcs11-tool sees the cut label" 2 "$(grep -c 'label: *ABCDEFGHIJKLMNOPQR$' <<<"$objects")"

# Public key: 256 modulus bytes for 2048 bits.
ankor pkcs11 repo getPublicKey GD "$serial" "$key_b64"
modulus_b64=$(success_text)
check "modulus base64 length" 344 "${#modulus_b64}"
tool --read-object --type pubkey --id "$key_hex" -o "$work/pub.der"
openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"

printf 'data to be signed' >"$work/data.bin"
data_b64=$(base64 -w0 "$work/data.bin")
for hash in sha1 sha256 sha512; do
  digest_b64=$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)
  ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" false "$data_b64"
  check "signWithKeyId $hash data" ok "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
  ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" TRUE "$digest_b64"
  check "signWithKeyId $hash digest" ok "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
done

# Errors of signing by identifier: wrong digest length under "error"; upper-case
# hash names mean SHA-256; an unknown identifier signs nothing.
sha1_digest=$(openssl dgst -sha1 -binary "$work/data.bin" | base64 -w0)
sha256_digest=$(openssl dgst -sha256 -binary "$work/data.bin" | base64 -w0)
for case in "sha1 $sha256_digest" "SHA1 $sha1_digest" "sha512 $sha256_digest"; do
  read -r hash digest <<<"$case"
  ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" true "$digest"
  check "signWithKeyId $hash with a ${#digest}-character digest" \
    "$(envelope error '"Tamanho data nao condiz com algoritmo utilizado"')" "$out"
done
ankor pkcs11 crypt signWithKeyId GD "$serial" "$(printf 'no-such-key' | base64 -w0)" sha256 "$PIN" false "$data_b64"
check "unknown key id signs nothing" "$(envelope success '""')" "$out"
# An identifier is its whole bytes: the key's id followed by a zero byte and more is
# another identifier, which names no key.
zero_b64=$( (printf %s "$key_id"; printf '\0tail') | base64 -w0)
ankor pkcs11 crypt signWithKeyId GD "$serial" "$zero_b64" sha256 "$PIN" false "$data_b64"
check "identifier with a zero byte is not cut" "$(envelope success '""')" "$out"
ankor pkcs11 repo getPublicKey GD "$serial" "$(printf 'no-such-key' | base64 -w0)"
check "unknown public key" "$(envelope success '""')" "$out"

# A test CA issues the certificate for the token's key.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj /CN=AnkorTestCA -days 2 2>/dev/null
openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/pub.pem" \
  -subj "/CN=ABCDEFGHIJKLMNOPQR" -days 2 -outform DER -out "$work/cert.der" 2>/dev/null
openssl x509 -inform DER -in "$work/cert.der" -out "$work/cert.pem"
cert_b64=$(base64 -w0 "$work/cert.der")
check "getPublicKey modulus equals the certificate's" \
  "$(openssl x509 -in "$work/cert.pem" -noout -modulus | cut -d= -f2)" \
  "$(base64 -d <<<"$modulus_b64" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)"

# SoftHSM2 requires CKA_SUBJECT on a certificate: every code's template carries the
# certificate's DER subject, issuer and serial number, so the 9 attributes of GD are
# taken as the 11 of AT are, and pkcs11-tool reads the names back.
ankor pkcs11 repo importCertificate GD "$serial" "$key_b64" "ABCDEFGHIJKLMNOPQR" "$PIN" "$cert_b64"
check "GD import" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
check "pkcs11-tool: the certificate's subject and serial number" \
  "subject: DN: CN=ABCDEFGHIJKLMNOPQR|serial: $(openssl x509 -in "$work/cert.pem" -noout -serial | cut -d= -f2)" \
  "$(tool -O --type cert | sed -nE 's/^ *(subject|serial): +/\1: /p' | paste -sd'|')"
# That object goes again, so that the AT import below is the token's one certificate.
tool --login --pin "$PIN" --delete-object --type cert --id "$key_hex" >/dev/null
# A certificate object holding no bytes, as an application that checks nothing (or
# SoftHSM2 after a refused template) leaves one: listed with the thumbprint of no bytes.
python3 "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/raw_certificate.py" "$SOFTHSM" "$PIN" "" 0909 Empty
ankor pkcs11 list certificates GD
check "an empty certificate object is listed" "da39a3ee5e6b4b0d3255bfef95601890afd80709" "$(member thumbprint)"
ankor pkcs11 repo importCertificate AT "$serial" "$key_b64" "ABCDEFGHIJKLMNOPQR" "$PIN" "$cert_b64"
check "AT import" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
objects=$(tool -O --login --pin "$PIN")
check "pkcs11-tool: key pair and certificate share the id" 3 "$(grep -c "ID: *$key_hex" <<<"$objects")"
check "pkcs11-tool: and the label" 3 "$(grep -c 'label: *ABCDEFGHIJKLMNOPQR$' <<<"$objects")"
check "pkcs11-tool: one of them a certificate" 1 \
  "$(tool -O --type cert | grep -c "ID: *$key_hex")"

thumbprint=$(openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
ankor pkcs11 list certificates AT
check "certificates listing holds openssl's thumbprint" 1 "$(grep -c "\"thumbprint\": \"$thumbprint\"" <<<"$out")"
check "certificate records carry type and serial" 1 \
  "$(grep -c "\"serial\": \"$serial\"" <<<"$(grep -B2 -A2 "$thumbprint" <<<"$out")")"

ankor pkcs11 list objects AT "$serial" "$PIN"
expected_objects=$(cat <<JSON
{
    "success": [
        {
            "certificate": true,
            "id": "$key_b64",
            "label": "ABCDEFGHIJKLMNOPQR",
            "privateKey": true,
            "publicKey": true
        }
    ]
}
JSON
)
check "objects listing: one id, all three flags" "$expected_objects" "$out"

# Signing by thumbprint, verified against the certificate.
check "the certificate holds the token's public key" "$(cat "$work/pub.pem")" \
  "$(openssl x509 -in "$work/cert.pem" -noout -pubkey)"
for hash in sha1 sha256 sha512; do
  ankor pkcs11 crypt sign AT "$thumbprint" "$hash" "$PIN" "$data_b64" false
  check "sign by thumbprint $hash data" ok "$(verify_pkcs1 "-certin -inkey $work/cert.pem" "$hash" "$work/data.bin" "$(success_text)")"
  ankor pkcs11 crypt sign AT "$thumbprint" "$hash" "$PIN" "$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)" true
  check "sign by thumbprint $hash digest" ok "$(verify_pkcs1 "-certin -inkey $work/cert.pem" "$hash" "$work/data.bin" "$(success_text)")"
done

# signList: one run signs the whole list, data and finished digests alike; each
# signature verifies against the certificate, in list order with its id.
signed_list() {  # the signature of element $1 of the envelope's array
  python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["success"][int(sys.argv[1])]["signed"])' "$1" <<<"$out"
}
for hash in sha1 sha256 sha512; do
  list=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":true,"id":"two"},{"value":"%s","hashedData":false}]' \
    "$data_b64" "$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)" "$data_b64")
  ankor pkcs11 crypt signList AT "$thumbprint" "$hash" "$PIN" "$(printf %s "$list" | base64 -w0)"
  check "signList $hash: ids and data in list order" "1 two None $data_b64" \
    "$(python3 -c 'import json, sys; l = json.loads(sys.stdin.read())["success"]; print(*[e["id"] for e in l], l[2]["data"])' <<<"$out")"
  for element in 0 1 2; do
    check "signList $hash element $element verifies" ok \
      "$(verify_pkcs1 "-certin -inkey $work/cert.pem" "$hash" "$work/data.bin" "$(signed_list "$element")")"
  done
done
error_text() { python3 -c 'import json, sys; print(json.loads(sys.stdin.read()).get("error"))' <<<"$out"; }
b64() { printf %s "$1" | base64 -w0; }
sha1_b64=$(openssl dgst -sha1 -binary "$work/data.bin" | base64 -w0)
while IFS='|' read -r description expected pin list; do
  ankor pkcs11 crypt signList AT "$thumbprint" sha256 "$pin" "$list" < <(printf '%s\n' "$PIN")
  check "signList: $description" "$expected" "$(error_text)"
done <<CASES
a list that is not JSON|Lista invalida: [json.exception.parse_error.101] parse error at line 1, column 2: syntax error while parsing value - invalid literal; last read: 'no'|$PIN|$(b64 no)
a list that is no array|Lista invalida: a lista deve ser um array JSON|$PIN|$(b64 '{"value":"eA=="}')
a digest of the wrong length names its element|Elemento 2 (id "two"): Tamanho data nao condiz com algoritmo utilizado|$PIN|$(b64 "[{\"value\":\"$data_b64\",\"hashedData\":false},{\"value\":\"$sha1_b64\",\"hashedData\":true,\"id\":\"two\"}]")
an element without hashedData|Elemento 1 (id 7): hashedData deve ser booleano|$PIN|$(b64 '[{"value":"eA==","id":7}]')
more than 10000 elements|Lista invalida: mais de 10000 elementos|$PIN|$(printf '[%s0]' "$(printf '0,%.0s' $(seq 10000))" | base64 -w0)
a wrong PIN|Erro no Login - Pin incorreto|4321|$(b64 '[]')
the PIN from standard input|None|-|$(b64 "[{\"value\":\"$data_b64\",\"hashedData\":false}]")
CASES
ankor pkcs11 crypt signList AT "${thumbprint^^}" sha256 "$PIN" "$(b64 '[]')"
check "signList without a matching certificate" "$(envelope success '"Nenhum certificado encontrado com o thumbprint enviado"')" "$out"
ankor pkcs11 crypt signList AT "$thumbprint" sha256 "$PIN" "$(b64 '[]')"
check "signList of an empty list" "$(envelope success '[]')" "$out"

while IFS='|' read -r description member value words; do
  # shellcheck disable=SC2086
  ankor $words
  check "$description" "$(envelope "$member" "$value")" "$out"
done <<CASES
upper-case thumbprint finds nothing|success|"Nenhum certificado encontrado com o thumbprint enviado"|pkcs11 crypt sign AT ${thumbprint^^} sha256 $PIN $data_b64 false
wrong PIN after the search|error|"Erro no Login - Pin incorreto"|pkcs11 crypt sign AT $thumbprint sha256 4321 $data_b64 false
wrong PIN lists no objects|error|"Erro no Login - Pin incorreto"|pkcs11 list objects AT $serial 4321
serial in another case|error|"Token Type ou Serial invalido"|pkcs11 list objects AT ${serial^^} $PIN
unknown code lists nothing|success|[]|pkcs11 list tokens XX
lower-case code lists nothing|success|[]|pkcs11 list certificates gd
unknown group after loading|error|"Tipo de sub-comando nao encontrado"|pkcs11 lists tokens GD
CASES

# A label of exactly 18 bytes is kept whole; an empty one gives "XXXX-".
for label in ABCDEFGHIJKLMNOPQR ""; do
  ankor pkcs11 repo createKeyPair GD "$serial" "$label" 1024 "$PIN"
  check "key id for a ${#label}-byte label" "-$(printf %s "$label" | base64 -w0)" "$(base64 -d <<<"$(success_text)" | cut -c5-)"
done
ankor pkcs11 list objects GD "$serial" "$PIN"
check "key pairs without certificate listed beside the one with" "false false true" \
  "$(member certificate | sort | tr '\n' ' ' | sed 's/ $//')"

# The PIN word "-": the PIN comes from standard input (first line, LF or CR LF), never
# from the command line, and shows up in no output. A PIN of its own makes that checkable.
secret="Q7-pin-from-input"
tool --login --pin "$PIN" --change-pin --new-pin "$secret" >/dev/null
ankor pkcs11 crypt sign AT "$thumbprint" sha256 - "$data_b64" false < <(printf '%s\n' "$secret") 2>"$work/err"
check "sign with the PIN read from standard input" ok \
  "$(verify_pkcs1 "-certin -inkey $work/cert.pem" sha256 "$work/data.bin" "$(success_text)")"
cat "$out_raw" "$work/err" >"$work/all-output"
ankor pkcs11 list objects AT "$serial" - <<<"$secret" 2>>"$work/all-output"
check "objects with the PIN read from standard input" "false false true" \
  "$(member certificate | sort | tr '\n' ' ' | sed 's/ $//')"
cat "$out_raw" >>"$work/all-output"
while IFS='|' read -r description value input; do
  case "$input" in
    closed) ankor pkcs11 repo createKeyPair GD "$serial" K 1024 - <&- 2>>"$work/all-output" ;;
    long) ankor pkcs11 repo createKeyPair GD "$serial" K 1024 - < <(printf '%0300d\n' 7) 2>>"$work/all-output" ;;
    *) ankor pkcs11 repo createKeyPair GD "$serial" K 1024 - < <(printf "$input" "$secret") 2>>"$work/all-output" ;;
  esac
  check "$description" "$(envelope error "$value")" "$out"
  cat "$out_raw" >>"$work/all-output"
done <<'CASES'
a wrong PIN read from standard input|"Erro no Login - Pin incorreto"|%s-wrong\r\n
standard input closed|"PIN nao informado"|closed
standard input empty|"PIN nao informado"|
an empty first line|"PIN nao informado"|\n%s\n
a PIN longer than 256 bytes|"Erro no Login - Tamanho do Pin invalido"|long
CASES
check "the PIN is in no output" 0 "$(grep -c -- "$secret" "$work/all-output" || true)"
tool --login --pin "$secret" --change-pin --new-pin "$PIN" >/dev/null

# A key whose CKA_ID holds zero bytes (00 01, as smart-card middleware numbers its
# keys), made by pkcs11-tool: its certificate imported by that id, the listing, the
# public key, signing by id and by thumbprint all keep the id whole.
tool --login --pin "$PIN" --keypairgen --key-type rsa:1024 --id 0001 --label "Zero id" >/dev/null
tool --read-object --type pubkey --id 0001 -o "$work/zero.der"
openssl pkey -pubin -inform DER -in "$work/zero.der" -out "$work/zero.pem"
openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/zero.pem" \
  -subj "/CN=Zero id" -days 2 -out "$work/zero-cert.pem" 2>/dev/null
ankor pkcs11 repo importCertificate AT "$serial" AAE= "Zero id" "$PIN" \
  "$(openssl x509 -in "$work/zero-cert.pem" -outform DER | base64 -w0)"
check "import under a zero-byte id" "$(envelope success '"certificado adicionado com sucesso: AAE="')" "$out"
check "pkcs11-tool: the certificate carries the whole id" 1 "$(tool -O --type cert | grep -c 'ID: *0001$')"
ankor pkcs11 list objects AT "$serial" "$PIN"
record=$(grep -B1 -A3 '"id": "AAE="' <<<"$out")
check "objects listing: the whole id with its three objects" "true|Zero id|true|true" \
  "$(sed -nE 's/.*"(certificate|label|privateKey|publicKey)": "?([^",]*)"?,?$/\2/p' <<<"$record" | paste -sd'|')"
ankor pkcs11 repo getPublicKey AT "$serial" AAE=
check "public key of the zero-byte id" "$(openssl rsa -pubin -in "$work/zero.pem" -noout -modulus 2>/dev/null | cut -d= -f2)" \
  "$(success_text | base64 -d | od -An -tx1 | tr -d ' \n' | tr a-f A-F)"
ankor pkcs11 crypt signWithKeyId AT "$serial" AAE= sha256 "$PIN" false "$data_b64"
check "signWithKeyId by a zero-byte id" ok "$(verify_pkcs1 "-pubin -inkey $work/zero.pem" sha256 "$work/data.bin" "$(success_text)")"
ankor pkcs11 crypt signWithKeyId AT "$serial" AA== sha256 "$PIN" false "$data_b64"
check "the id's first byte alone names no key" "$(envelope success '""')" "$out"
zero_thumbprint=$(openssl x509 -in "$work/zero-cert.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
ankor pkcs11 crypt sign AT "$zero_thumbprint" sha512 "$PIN" "$data_b64" false
check "sign by the thumbprint of a zero-byte id" ok "$(verify_pkcs1 "-certin -inkey $work/zero-cert.pem" sha512 "$work/data.bin" "$(success_text)")"

# A 512-bit key cannot hold a SHA-512 DigestInfo (83 bytes): SoftHSM2 announces a
# length, then refuses to sign; nothing is returned, while SHA-256 still fits.
ankor pkcs11 repo createKeyPair GD "$serial" "Small" 512 "$PIN"
small_b64=$(success_text)
ankor pkcs11 crypt signWithKeyId GD "$serial" "$small_b64" sha512 "$PIN" false "$data_b64"
check "512-bit key, sha512: no signature" "$(envelope success '""')" "$out"
tool --read-object --type pubkey --id "$(base64 -d <<<"$small_b64" | od -An -tx1 | tr -d ' \n')" -o "$work/small.der"
ankor pkcs11 crypt signWithKeyId GD "$serial" "$small_b64" sha256 "$PIN" false "$data_b64"
check "512-bit key, sha256: a signature" ok "$(verify_pkcs1 "-pubin -inkey $work/small.der -keyform DER" sha256 "$work/data.bin" "$(success_text)")"

# ND loads all seven codes in table order. With every code naming SoftHSM2, GD
# initialises it and the six others, finding it initialised, add nothing.
for code in ET BR OB EP DX; do export ANKOR_PKCS11_MODULE_$code=$SOFTHSM; done
ankor pkcs11 list tokens ND
check "ND lists the token once, under its own row's code" "GD" "$(member type)"
ankor pkcs11 repo getPublicKey ND "$serial" "$key_b64"
check "code ND never names a token" "$(envelope error '"Token Type ou Serial invalido"')" "$out"

# Module files: ND with a missing one, a file that is not a library.
printf 'not a library' >"$work/not-a-module.so"
ANKOR_PKCS11_MODULE_ET=$work/absent.so ankor pkcs11 list tokens ND
check "ND with a missing module file" "$(envelope error '"Erro ao inicializar biblioteca fileExists"')" "$out"
ANKOR_PKCS11_MODULE_GD=$work/not-a-module.so ankor pkcs11 list tokens GD
check "a file that does not load" "$(envelope error '"Erro ao inicializar biblioteca LoadLibrary"')" "$out"

# ---- certificate details ----------------------------------------------------------
# The records of the certificates listing, each with its object's id, label and the
# certificate's fields as openssl reads them. SoftHSM2 shows private keys only after
# login, so privateKey is false without one, as pkcs11-tool -O without login shows.
for code in ET BR OB EP DX; do unset ANKOR_PKCS11_MODULE_$code; done
ankor pkcs11 list certificates AT
plain=$out
ankor pkcs11 list certificateDetails AT
details=$out
check "the details list the certificates of the plain listing, in order" \
  "$(out=$plain; member thumbprint | tr '\n' ' ')" "$(member thumbprint | tr '\n' ' ')"
record=$(record_of "$thumbprint")
check "the details' fields of the imported certificate are those openssl reads" \
  "$(openssl_fields "$work/cert.der")" "$(pick "$record" subject issuer serialNumber notBefore notAfter)"
public_objects=$(tool -O)
# The label pkcs11-tool shows for the certificate object with the key's id.
cert_label=$(awk -v id="$key_hex" '/^[A-Z]/ {c = /^Certificate Object/}
  c && /label:/ {sub(/^ *label: */, ""); label = $0} c && /ID:/ && $2 == id {print label; exit}' <<<"$public_objects")
check "certificate details: type, serial, id, label and DER as the token holds them" \
  "$(python3 -c 'import json, sys; print(json.dumps({"type": "AT", "serial": sys.argv[1], "id": sys.argv[2],
"label": sys.argv[3], "certificate": sys.argv[4], "privateKey": False}, sort_keys=True))' \
     "$serial" "$key_b64" "$cert_label" "$cert_b64")" \
  "$(pick "$record" type serial id label certificate privateKey)"
check "pkcs11-tool shows the certificate's id without login" "$key_hex" \
  "$(awk '/^[A-Z]/ {c = /^Certificate Object/} c && /ID:/ {print $2}' <<<"$public_objects" | grep -x "$key_hex")"
check "and no private key without login" 0 "$(grep -c '^Private Key Object' <<<"$public_objects")"
# The empty certificate object: listed, with null fields.
check "an object that holds no certificate is listed with null fields" \
  '{"certificate": "", "issuer": null, "notAfter": null, "notBefore": null, "serialNumber": null, "subject": null}' \
  "$(pick "$(record_of da39a3ee5e6b4b0d3255bfef95601890afd80709)" certificate subject issuer serialNumber notBefore notAfter)"
check "the zero-byte id in Base64" AAE= \
  "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["id"])' "$(record_of "$zero_thumbprint")")"

# ---- system info modules ---------------------------------------------------------------
# module_entry CODE: the entry of that code in the inspection in $out.
module_entry() {
  python3 -c 'import json, sys
print(json.dumps([m for m in json.loads(sys.stdin.read())["success"] if m["type"] == sys.argv[1]][0], sort_keys=True))' "$1" <<<"$out"
}
faults="$TARVO_BUILD_DIR/tests/libankor_p11_forward.so"
cp "$faults" "$work/libfaults-locked.so"
cp "$faults" "$work/libfaults-init.so"
printf 'not a library %.0s' $(seq 1 600) >"$work/text.so"
ANKOR_PKCS11_MODULE_GD=$SOFTHSM ANKOR_PKCS11_MODULE_ET=$work/absent.so \
  ANKOR_PKCS11_MODULE_AT=$work/text.so ANKOR_PKCS11_MODULE_BR=$work/libfaults-init.so \
  ANKOR_PKCS11_MODULE_OB=$work/libfaults-locked.so ANKOR_FAULT_SCOPE=faults-init ANKOR_FAULT_INITIALIZE=0x30 \
  ankor system info modules ND
check "every module of ND has its entry, in table order" "GD ET AT BR OB EP DX" \
  "$(member type | tr '\n' ' ' | sed 's/ $//')"
softhsm=$(module_entry GD)
info=$(tool -I)
check "SoftHSM2 loaded and initialised, its CK_INFO as pkcs11-tool reads it" \
  "$(ck_info_expected "$SOFTHSM" "$info")" \
  "$(pick "$softhsm" path present loaded loadError initialized initializeResult cryptokiVersion manufacturerId libraryDescription libraryVersion)"
check "every slot pkcs11-tool lists, the free one included" "$(tool -L | grep -c '^Slot ')" \
  "$(python3 -c 'import json, sys; print(len(json.loads(sys.argv[1])["slots"]))' "$softhsm")"
token=$(python3 -c 'import json, sys
print(json.dumps([s for s in json.loads(sys.argv[1])["slots"] if s["serial"] == sys.argv[2]][0], sort_keys=True))' "$softhsm" "$serial")
check "the test token: label, model, flags as words, visible" \
  '{"flags": ["loginRequired", "userPinInitialized", "tokenInitialized"], "label": "Ankor Test", "model": "SoftHSM v2", "tokenPresent": true, "visible": true}' \
  "$(pick "$token" label model flags tokenPresent visible)"
check "the slot id as the tokens listing gives it" "$((slot_hex))" \
  "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["slotId"])' "$token")"
check "the free slot's token is not initialised" '{"flags": ["loginRequired"], "visible": false}' \
  "$(python3 -c 'import json, sys
s = [s for s in json.loads(sys.argv[1])["slots"] if s["serial"] != sys.argv[2]][0]
print(json.dumps({"flags": s["flags"], "visible": s["visible"]}, sort_keys=True))' "$softhsm" "$serial")"
check "a missing module file" '{"loaded": false, "path": "'"$work/absent.so"'", "present": false, "slots": []}' \
  "$(pick "$(module_entry ET)" path present loaded slots)"
check "a file that is not a library keeps the loader's reason" \
  '{"initialized": false, "loadError": "'"$work/text.so"': invalid ELF header", "loaded": false, "present": true}' \
  "$(pick "$(module_entry AT)" present loaded loadError initialized)"
check "a module whose C_Initialize fails, with its code" \
  '{"cryptokiVersion": null, "initializeResult": 48, "initialized": false, "loaded": true, "slots": []}' \
  "$(pick "$(module_entry BR)" loaded initialized initializeResult cryptokiVersion slots)"
ANKOR_PKCS11_MODULE_OB=$work/libfaults-locked.so ANKOR_FAULT_SCOPE=faults-locked ANKOR_FAULT_TOKEN_FLAGS=0x40000 \
  ankor system info modules OB
check "a locked token says userPinLocked" yes \
  "$(python3 -c 'import json, sys
s = [s for m in json.loads(sys.stdin.read())["success"] for s in m["slots"] if s["serial"] == sys.argv[1]]
print("yes" if s and "userPinLocked" in s[0]["flags"] else s)' "$serial" <<<"$out")"
ankor system info modules XX
check "an unknown code inspects nothing" "$(envelope success '[]')" "$out"
ankor system info modules
check "system info modules without a code" "$(envelope error '"Erro desconhecido."')" "$out"

finish
