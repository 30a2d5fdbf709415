#!/usr/bin/env bash
# SoftHSM2 configured to offer RSA signing only through the hashing mechanisms
# (slots.mechanisms without CKM_RSA_PKCS), as some tokens do: the keys ankor makes
# there, and what becomes of its signatures, which it builds for the raw mechanism.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/token.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/enrol.sh"

make_token "Ankor Hashing"
printf 'slots.mechanisms = %s\n' \
  CKM_RSA_PKCS_KEY_PAIR_GEN,CKM_SHA1_RSA_PKCS,CKM_SHA256_RSA_PKCS,CKM_SHA512_RSA_PKCS >>"$SOFTHSM2_CONF"
export ANKOR_PKCS11_MODULE_GD=$SOFTHSM ANKOR_PKCS11_MODULE_AT=$SOFTHSM
tool() { pkcs11-tool --module "$SOFTHSM" "$@" 2>/dev/null; }

mechanisms=$(tool -M)
check "the token offers the hashing RSA mechanisms" 3 "$(grep -cE '^ *SHA(1|256|512)-RSA-PKCS,' <<<"$mechanisms")"
check "and not the raw one" 0 "$(grep -cE '^ *RSA-PKCS,' <<<"$mechanisms" || true)"

ankor pkcs11 list tokens GD
check "the token is listed" "$serial" "$(member serial)"
ankor pkcs11 repo createKeyPair GD "$serial" "Hashing key" 2048 "$PIN"
key_b64=$(success_text)
check "a key pair is made" "-$(printf 'Hashing key' | base64 -w0)" "$(base64 -d <<<"$key_b64" | cut -c5-)"
key_hex=$(base64 -d <<<"$key_b64" | od -An -tx1 | tr -d ' \n')
ankor pkcs11 repo getPublicKey GD "$serial" "$key_b64"
pem_from_modulus "$(success_text)" "$work/pub.pem"
check "its public key is the token's" \
  "$(tool --read-object --type pubkey --id "$key_hex" | openssl pkey -pubin -inform DER 2>/dev/null)" \
  "$(cat "$work/pub.pem")"

printf 'signed by a hashing token' >"$work/data.bin"
data_b64=$(base64 -w0 "$work/data.bin")
# The token itself signs with the key through each hashing mechanism.
declare -A tool_signature
for hash in sha1 sha256 sha512; do
  tool --login --pin "$PIN" --sign --id "$key_hex" -m "${hash^^}-RSA-PKCS" \
    -i "$work/data.bin" -o "$work/$hash.sig" >/dev/null
  tool_signature[$hash]=$(base64 -w0 "$work/$hash.sig")
  check "pkcs11-tool signs with ${hash^^}-RSA-PKCS" ok \
    "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "${tool_signature[$hash]}")"
done

make_ca
openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/pub.pem" \
  -subj "/CN=Hashing key" -days 2 -out "$work/cert.pem" 2>/dev/null
ankor pkcs11 repo importCertificate AT "$serial" "$key_b64" "Hashing key" "$PIN" \
  "$(openssl x509 -in "$work/cert.pem" -outform DER | base64 -w0)"
check "the certificate is imported" "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
thumbprint=$(thumbprint_of "$work/cert.pem")

# Today: the raw mechanism is refused at C_SignInit, so every signature is the empty
# text (data and finished digests alike), and a list fails at its first element.
observe_today() {
  local hash list
  for hash in sha1 sha256 sha512; do
    ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" false "$data_b64"
    check "today: signWithKeyId $hash of data signs nothing" "$(envelope success '""')" "$out"
    ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" true \
      "$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)"
    check "today: signWithKeyId $hash of a digest signs nothing" "$(envelope success '""')" "$out"
    ankor pkcs11 crypt sign AT "$thumbprint" "$hash" "$PIN" "$data_b64" false
    check "today: sign by thumbprint $hash signs nothing" "$(envelope success '""')" "$out"
  done
  list=$(printf '[{"value":"%s","hashedData":false,"id":1}]' "$data_b64" | base64 -w0)
  ankor pkcs11 crypt signList AT "$thumbprint" sha256 "$PIN" "$list"
  check "today: signList fails at its first element" \
    "$(envelope error '"Elemento 1 (id 1): Erro na assinatura"')" "$out"
}

# Mended: data is signed with the hashing mechanism of its algorithm, giving the very
# bytes the token gives pkcs11-tool; a finished digest cannot be signed there and is
# refused with an error.
mended_checks() {
  local hash list
  for hash in sha1 sha256 sha512; do
    ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" false "$data_b64"
    check "mended: signWithKeyId $hash of data verifies" ok \
      "$(verify_pkcs1 "-pubin -inkey $work/pub.pem" "$hash" "$work/data.bin" "$(success_text)")"
    check "mended: the same bytes as the token's own $hash signature" "${tool_signature[$hash]}" "$(success_text)"
    ankor pkcs11 crypt sign AT "$thumbprint" "$hash" "$PIN" "$data_b64" false
    check "mended: sign by thumbprint $hash verifies" ok \
      "$(verify_pkcs1 "-certin -inkey $work/cert.pem" "$hash" "$work/data.bin" "$(success_text)")"
    ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" "$hash" "$PIN" true \
      "$(openssl dgst "-$hash" -binary "$work/data.bin" | base64 -w0)"
    check "mended: a finished $hash digest is an error" error \
      "$(python3 -c 'import json,sys; print(*json.loads(sys.stdin.read()))' <<<"$out")"
  done
  list=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":false,"id":2}]' \
    "$data_b64" "$data_b64" | base64 -w0)
  ankor pkcs11 crypt signList AT "$thumbprint" sha512 "$PIN" "$list"
  for element in 0 1; do
    check "mended: signList element $element verifies" ok \
      "$(verify_pkcs1 "-certin -inkey $work/cert.pem" sha512 "$work/data.bin" "$(signed_element "$element")")"
  done
}

if [ "${MENDED:-0}" = 1 ]; then mended_checks; else observe_today; fi

finish
