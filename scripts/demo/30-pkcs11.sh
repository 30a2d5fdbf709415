# Sourced by scripts/demo.sh: the PKCS#11 flow of ankor on a SoftHSM2 token made on
# the spot. Codes GD and AT both name SoftHSM2 through the Linux variables; the
# certificate goes in with AT's template, the one that carries CKA_SUBJECT, which
# SoftHSM2 requires.
echo
echo "== ankor: a key pair and a certificate on a PKCS#11 token (SoftHSM2, Linux)"
p11_dir=$(mktemp -d)
export SOFTHSM2_CONF=$p11_dir/softhsm2.conf
mkdir -p "$p11_dir/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$p11_dir/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label "Demo Token" --pin 1234 --so-pin 87654321 >/dev/null
export ANKOR_PKCS11_MODULE_GD=/usr/lib/softhsm/libsofthsm2.so
export ANKOR_PKCS11_MODULE_AT=/usr/lib/softhsm/libsofthsm2.so

p11_show() {  # runs ankor on Linux, shows the command and its envelope; keeps it in $out
  printf '\n$ ankor'; printf ' %q' "$@"; printf '\n'
  out=$(linux ankor "$@")
  printf '%s\n' "$out"
}

p11_show pkcs11 list tokens GD
p11_serial=$(member serial)
p11_show pkcs11 repo createKeyPair GD "$p11_serial" "Demo key" 2048 1234
p11_key=$(success_text)
echo "(the key identifier, decoded: $(base64 -d <<<"$p11_key"))"
p11_show pkcs11 repo getPublicKey GD "$p11_serial" "$p11_key"
p11_data=$(printf 'Signed on a token' | base64 -w0)
p11_show pkcs11 crypt signWithKeyId GD "$p11_serial" "$p11_key" sha256 1234 false "$p11_data"

echo
echo "(a test CA made with openssl issues the certificate for the token's key)"
pkcs11-tool --module "$ANKOR_PKCS11_MODULE_GD" --read-object --type pubkey \
  --id "$(base64 -d <<<"$p11_key" | od -An -tx1 | tr -d ' \n')" -o "$p11_dir/pub.der" >/dev/null 2>&1
openssl pkey -pubin -inform DER -in "$p11_dir/pub.der" -out "$p11_dir/pub.pem"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$p11_dir/ca.key" -out "$p11_dir/ca.pem" \
  -subj "/CN=Demo CA" -days 2 2>/dev/null
openssl x509 -new -CA "$p11_dir/ca.pem" -CAkey "$p11_dir/ca.key" -force_pubkey "$p11_dir/pub.pem" \
  -subj "/CN=Demo key" -days 2 -out "$p11_dir/cert.pem" 2>/dev/null
p11_show pkcs11 repo importCertificate AT "$p11_serial" "$p11_key" "Demo key" 1234 \
  "$(openssl x509 -in "$p11_dir/cert.pem" -outform DER | base64 -w0)"
p11_show pkcs11 list certificates AT
p11_thumbprint=$(member thumbprint)
echo "(openssl: $(openssl x509 -in "$p11_dir/cert.pem" -noout -fingerprint -sha1))"
p11_show pkcs11 list objects AT "$p11_serial" 1234
p11_show pkcs11 crypt sign AT "$p11_thumbprint" sha256 1234 "$p11_data" false

echo
echo "(openssl checks the last signature against the certificate)"
success_text | base64 -d >"$p11_dir/signature.bin"
printf 'Signed on a token' | openssl dgst -sha256 -binary >"$p11_dir/digest.bin"
openssl pkeyutl -verify -certin -inkey "$p11_dir/cert.pem" -pkeyopt digest:sha256 \
  -in "$p11_dir/digest.bin" -sigfile "$p11_dir/signature.bin"
rm -rf "$p11_dir"
unset SOFTHSM2_CONF ANKOR_PKCS11_MODULE_GD ANKOR_PKCS11_MODULE_AT

echo
echo "== ankor.exe under Wine: the module table's own path, C:\\Windows\\SysWOW64\\aetpkss1.dll,"
echo "   holding the tests' module DLL (keys in Wine's CryptoAPI)"
p11_prefix=build/win32/wineprefix
windows ankor system info version >/dev/null  # the prefix exists once a program ran
mkdir -p "$p11_prefix/drive_c/windows/syswow64"
cp build/win32/tests/ankor_p11_testmodule.dll "$p11_prefix/drive_c/windows/syswow64/aetpkss1.dll"
rm -f "$p11_prefix/drive_c/windows/syswow64/aetpkss1.dll.objects"
p11_wshow() {  # like p11_show, for ankor.exe
  printf '\n$ wine ankor.exe'; printf ' %q' "$@"; printf '\n'
  out=$(windows ankor "$@" | tr -d '\r')
  printf '%s\n' "$out"
}
p11_wshow pkcs11 list tokens GD
p11_wshow pkcs11 repo createKeyPair GD 0A1B2C3D "Wine key" 2048 1234
p11_key=$(success_text)
p11_wshow pkcs11 crypt signWithKeyId GD 0A1B2C3D "$p11_key" sha256 1234 false "$p11_data"
p11_wshow pkcs11 list tokens ET
rm -f "$p11_prefix/drive_c/windows/syswow64/aetpkss1.dll.objects"
