#!/usr/bin/env bash
# libcrypto on first use (Linux): ankor does not name the library among those the
# loader opens at start-up; a command that computes nothing never opens it; and when the
# library is missing or lacks a function, every command that needs it fails, with one
# line on standard error naming the library, while the others answer as always. The
# failures are shown by ankor_libcrypto_named, ankor itself with the library's name
# taken from ANKOR_TEST_LIBCRYPTO; the keys and certificates they would use are made
# by the real ankor first.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/token.sh"
: "${ANKOR_LIBCRYPTO_NAMED:?run through ctest}"

needed=$("$TARVO_READELF" -d "$TARVO_BIN/ankor" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
check "ankor names the C library" 1 "$(grep -cx 'libc.so.6' <<<"$needed")"
check "ankor does not name $TARVO_LIBCRYPTO_SONAME" 0 "$(grep -c '^libcrypto' <<<"$needed" || true)"

export XDG_DATA_HOME=$work/data
make_token "Libcrypto Test"
export ANKOR_PKCS11_MODULE_GD=$SOFTHSM ANKOR_PKCS11_MODULE_AT=$SOFTHSM
P="Microsoft Enhanced RSA and AES Cryptographic Provider"

# What the commands below work on: a container with a key and a certificate of that
# key in the MY store bound to it; a token key and the same certificate on the token.
ankor capi repo createKeyPair "$P" 24 held false true 1024 - Held false
openssl req -x509 -key "$XDG_DATA_HOME/ankor/containers/held.key" -subj /CN=Held -days 2 \
  -outform DER -out "$work/cert.der"
openssl x509 -inform DER -in "$work/cert.der" -out "$work/cert.pem"
cert_b64=$(base64 -w0 "$work/cert.der")
thumbprint=$(openssl dgst -sha1 -r "$work/cert.der" | cut -d' ' -f1)
ankor capi repo importCertificate "$P" 24 held "$cert_b64"
check "certificate imported" '{"result":"ok"}' "$(success_text)"
ankor pkcs11 repo createKeyPair GD "$serial" "Held key" 1024 "$PIN"
key_b64=$(success_text)
# (code AT: SoftHSM2 refuses GD's certificate template)
ankor pkcs11 repo importCertificate AT "$serial" "$key_b64" "Held cert" "$PIN" "$cert_b64"
ankor pkcs11 list certificates GD
check "the token lists the certificate" "$thumbprint" "$(member thumbprint)"
printf 'to be signed' >"$work/data.bin"
data_b64=$(base64 -w0 "$work/data.bin")
list_b64=$(printf '[{"value":"%s","hashedData":false,"id":"1"}]' "$data_b64" | base64 -w0)

# named LIBRARY ARGS...: ankor_libcrypto_named opening that library; the envelope in
# $out, standard error in $err.
named() {
  local library=$1; shift
  set +e
  LD_PRELOAD=$preload ANKOR_TEST_LIBCRYPTO=$library "$ANKOR_LIBCRYPTO_NAMED" "$@" \
    >"$out_raw" 2>"$work/stderr"
  status=$?
  set -e
  out=$(cat "$out_raw")
  err=$(cat "$work/stderr")
}

absent=libankor-absent.so.0
# Commands that need no cryptography: the usual answer, and no attempt to open the library.
providers='[{"cspname":"Microsoft Base Cryptographic Provider v1.0","csptype":1},'
providers+='{"cspname":"Microsoft Enhanced Cryptographic Provider v1.0","csptype":1},'
providers+='{"cspname":"Microsoft Enhanced RSA and AES Cryptographic Provider","csptype":24}]'
quiet() {  # quiet EXPECTED ARGS...
  local expected=$1; shift
  named "$absent" "$@"
  check "$*: answer" "$expected" "$(result)"
  check "$*: nothing on standard error" "" "$err"
}
quiet 1.2.8 system info version
quiet "ERROR: Tipo de comando nao encontrado" System info version
quiet "$providers" capi list csp
named "$absent" pkcs11 list tokens GD
check "pkcs11 list tokens: the token" "$serial" "$(member serial)"
check "pkcs11 list tokens: nothing on standard error" "" "$err"

# Commands that need it, with the library missing: each fails (never a success, never
# a crash) with its usual failure, and standard error names the library.
cannot_load="ankor: cannot load $absent: $absent: cannot open shared object file: No such file or directory"
fails() {  # fails EXPECTED ARGS...
  local expected=$1; shift
  named "$absent" "$@"
  check "$1 $2 $3: the failure" "$expected" "$(result)"
  check "$1 $2 $3: standard error names the library" "$cannot_load" "$err"
  check "$1 $2 $3: exit status" 0 "$status"
}
fails "{\"error\":\"countContainers - CryptAcquireContext. providerName: $P - providerType: 24\"}" \
  capi list countContainer "$P" 24
fails '{"error":"createKeyPair - CryptAcquireContext"}' \
  capi repo createKeyPair "$P" 24 new false true 1024 - New false
check "no container is created without the library" 0 "$(find "$XDG_DATA_HOME" -name 'new*' | wc -l)"
csr_failure='{"error":"generateCSR The first call to CryptEncodeObject failed. A public/private key pair may not exit in the container."}'
fails "$csr_failure" capi repo generateCSR "$P" 24 held Held
fails "ERROR: acceptPKCS7 - CertCreateCertificateContext" capi repo importCertificate "$P" 24 held "$cert_b64"
fails "ERROR: Err CertFindCertificateInStore" capi crypt sign "$thumbprint" sha256 "$data_b64" false
fails "ERROR: Err CertFindCertificateInStore" capi crypt signList "$thumbprint" sha256 "$list_b64"
fails "ERROR: Erro ao calcular o hash dos dados" pkcs11 list certificates GD
fails "ERROR: Erro ao calcular o hash dos dados" pkcs11 crypt sign GD "$thumbprint" sha256 "$PIN" "$data_b64" false
fails "ERROR: Erro ao calcular o hash dos dados" \
  pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" sha256 "$PIN" false "$data_b64"

# A library without libcrypto's functions: the same failure, naming the library and
# the first function it lacks.
named libc.so.6 capi repo generateCSR "$P" 24 held Held
check "incomplete library: the failure" "$csr_failure" "$(result)"
check "incomplete library: standard error names the library and the function" 1 \
  "$(grep -c '^ankor: libc.so.6 has no function ASN1_OBJECT_free: .*undefined symbol: ASN1_OBJECT_free$' <<<"$err" || true)"

# With the library itself, the same program signs, and openssl accepts the signature.
named "$TARVO_LIBCRYPTO_SONAME" capi crypt sign "$thumbprint" sha256 "$data_b64" false
check "with $TARVO_LIBCRYPTO_SONAME: the signature verifies" ok \
  "$(verify_pkcs1 "-certin -inkey $work/cert.pem" sha256 "$work/data.bin" "$(success_text)")"
check "with $TARVO_LIBCRYPTO_SONAME: nothing on standard error" "" "$err"

finish
