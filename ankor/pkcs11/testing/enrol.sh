# The whole enrolment of a certificate on a token through the real ankor, for the
# scripts that run it against one PKCS#11 middleware each (opencryptoki, tpm2-pkcs11):
# tokens listing, key generation, public key, signatures by key id, certificate import,
# the certificates and objects listings, signing by thumbprint, signList and the PIN
# word "-". Every signature is verified by openssl. Source after tests/lib.sh; the
# caller defines ankor() and sets $work.

# pem_from_modulus MODULUS_B64 FILE: the RSA public key (exponent 65537) as PEM.
pem_from_modulus() {
  printf 'asn1=SEQUENCE:key\n[key]\nn=INTEGER:0x%s\ne=INTEGER:65537\n' \
    "$(base64 -d <<<"$1" | od -An -tx1 | tr -d ' \n')" >"$work/modulus.cnf"
  openssl asn1parse -genconf "$work/modulus.cnf" -out "$work/modulus.der" >/dev/null
  openssl rsa -RSAPublicKey_in -inform DER -in "$work/modulus.der" -pubout -out "$2" 2>/dev/null
}

# thumbprint_of PEM: the certificate's SHA-1 thumbprint as ankor writes it.
thumbprint_of() {
  openssl x509 -in "$1" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f
}

# signed_element N: the signature of element N of the signList array in $out.
signed_element() {
  python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["success"][int(sys.argv[1])]["signed"])' "$1" <<<"$out"
}

# A throw-away CA for the certificates that the enrolment imports.
make_ca() {
  [ -f "$work/ca.pem" ] && return 0
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
    -subj /CN=AnkorPeerCA -days 2 2>/dev/null
}

# enrol NAME CODE SERIAL PIN LABEL ACCEPTING_CODES: the enrolment on the token SERIAL
# reached as CODE (whose module path the caller has set), the certificate imported
# under each of ACCEPTING_CODES (space-separated codes that name the same module).
# Sets $key_b64, $cert_pem and $thumbprint for the caller's later checks.
enrol() {
  local name=$1 code=$2 serial=$3 pin=$4 label=$5 accepting=$6 hash element
  local dir="$work/$name"
  mkdir -p "$dir"
  make_ca

  ankor pkcs11 list tokens "$code"
  check "$name: the token is listed under $code" True \
    "$(python3 -c 'import json, sys
print(any(t["serial"] == sys.argv[1] and t["type"] == sys.argv[2] for t in json.loads(sys.stdin.read())["success"]))' \
      "$serial" "$code" <<<"$out")"

  ankor pkcs11 repo createKeyPair "$code" "$serial" "$label" 2048 "$pin"
  key_b64=$(success_text)
  local key_id; key_id=$(base64 -d <<<"$key_b64" 2>/dev/null || true)
  check "$name: createKeyPair gives 4 characters, - and the label" \
    "-$(printf %s "${label:0:18}" | base64 -w0)" "${key_id:4}"

  ankor pkcs11 repo getPublicKey "$code" "$serial" "$key_b64"
  local modulus_b64; modulus_b64=$(success_text)
  check "$name: a 2048-bit modulus" 344 "${#modulus_b64}"
  pem_from_modulus "$modulus_b64" "$dir/pub.pem"

  printf 'enrolled on %s' "$name" >"$dir/data.bin"
  local data_b64; data_b64=$(base64 -w0 "$dir/data.bin")
  for hash in sha1 sha256 sha512; do
    ankor pkcs11 crypt signWithKeyId "$code" "$serial" "$key_b64" "$hash" "$pin" false "$data_b64"
    check "$name: signWithKeyId $hash of data verifies" ok \
      "$(verify_pkcs1 "-pubin -inkey $dir/pub.pem" "$hash" "$dir/data.bin" "$(success_text)")"
    ankor pkcs11 crypt signWithKeyId "$code" "$serial" "$key_b64" "$hash" "$pin" true \
      "$(openssl dgst "-$hash" -binary "$dir/data.bin" | base64 -w0)"
    check "$name: signWithKeyId $hash of a digest verifies" ok \
      "$(verify_pkcs1 "-pubin -inkey $dir/pub.pem" "$hash" "$dir/data.bin" "$(success_text)")"
  done

  # A certificate for the new key, imported under each code whose template the
  # module accepts: every import writes one more certificate object with the id.
  cert_pem="$dir/cert.pem"
  openssl x509 -new -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$dir/pub.pem" \
    -subj "/CN=${label:0:18}" -days 2 -out "$cert_pem" 2>/dev/null
  local cert_b64; cert_b64=$(openssl x509 -in "$cert_pem" -outform DER | base64 -w0)
  thumbprint=$(thumbprint_of "$cert_pem")
  local import_code
  for import_code in $accepting; do
    ankor pkcs11 repo importCertificate "$import_code" "$serial" "$key_b64" "${label:0:18}" "$pin" "$cert_b64"
    check "$name: importCertificate under $import_code" \
      "$(envelope success "\"certificado adicionado com sucesso: $key_b64\"")" "$out"
  done

  ankor pkcs11 list certificates "$code"
  check "$name: the certificates listing holds openssl's thumbprint on the token" \
    "$(wc -w <<<"$accepting")" \
    "$(python3 -c 'import json, sys
print(sum(1 for c in json.loads(sys.stdin.read())["success"] if c["thumbprint"] == sys.argv[1] and c["serial"] == sys.argv[2] and c["type"] == sys.argv[3]))' \
      "$thumbprint" "$serial" "$code" <<<"$out")"

  ankor pkcs11 list objects "$code" "$serial" "$pin"
  check "$name: objects listing: the id with its three objects and the label" \
    "true|${label:0:18}|true|true" \
    "$(python3 -c 'import json, sys
r = [o for o in json.loads(sys.stdin.read())["success"] if o["id"] == sys.argv[1]]
print("|".join(str(v).lower() if isinstance(v, bool) else v for o in r for v in (o["certificate"], o["label"], o["privateKey"], o["publicKey"])))' \
      "$key_b64" <<<"$out")"

  for hash in sha1 sha256 sha512; do
    ankor pkcs11 crypt sign "$code" "$thumbprint" "$hash" "$pin" "$data_b64" false
    check "$name: sign by thumbprint, $hash of data, verifies against the certificate" ok \
      "$(verify_pkcs1 "-certin -inkey $cert_pem" "$hash" "$dir/data.bin" "$(success_text)")"
  done
  ankor pkcs11 crypt sign "$code" "$thumbprint" sha256 "$pin" \
    "$(openssl dgst -sha256 -binary "$dir/data.bin" | base64 -w0)" true
  check "$name: sign by thumbprint of a sha256 digest verifies" ok \
    "$(verify_pkcs1 "-certin -inkey $cert_pem" sha256 "$dir/data.bin" "$(success_text)")"

  # signList: data and a finished digest in one run, the PIN from standard input.
  for hash in sha1 sha256 sha512; do
    local list
    list=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":true,"id":"two"}]' \
      "$data_b64" "$(openssl dgst "-$hash" -binary "$dir/data.bin" | base64 -w0)" | base64 -w0)
    ankor pkcs11 crypt signList "$code" "$thumbprint" "$hash" - "$list" < <(printf '%s\n' "$pin")
    for element in 0 1; do
      check "$name: signList $hash element $element verifies" ok \
        "$(verify_pkcs1 "-certin -inkey $cert_pem" "$hash" "$dir/data.bin" "$(signed_element "$element")")"
    done
  done

  # The PIN word "-" for the other commands; closed input is refused before a login.
  ankor pkcs11 crypt signWithKeyId "$code" "$serial" "$key_b64" sha256 - false "$data_b64" \
    < <(printf '%s\r\n' "$pin")
  check "$name: signWithKeyId with the PIN from standard input verifies" ok \
    "$(verify_pkcs1 "-pubin -inkey $dir/pub.pem" sha256 "$dir/data.bin" "$(success_text)")"
  ankor pkcs11 list objects "$code" "$serial" - <<<"$pin"
  check "$name: objects listing with the PIN from standard input" 1 \
    "$(member id | grep -cxF "$key_b64")"
  ankor pkcs11 list objects "$code" "$serial" - <&-
  check "$name: the PIN word - with closed input" "$(envelope error '"PIN nao informado"')" "$out"

  local wrong="${pin%?}$([ "${pin: -1}" = 0 ] && echo 1 || echo 0)"
  ankor pkcs11 list objects "$code" "$serial" "$wrong"
  check "$name: a wrong PIN" "$(envelope error '"Erro no Login - Pin incorreto"')" "$out"
}
