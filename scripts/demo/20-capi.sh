# Sourced by scripts/demo.sh: the CryptoAPI flow of ankor, on Linux (OpenSSL back-end,
# data in a temporary XDG_DATA_HOME) and under Wine (Wine's rsaenh and crypt32): a key
# pair with its request, a certificate from a throw-away openssl CA, installation in
# the user's MY store, a signature by thumbprint, and openssl verifying it.
capi_dir=$(mktemp -d)
export XDG_DATA_HOME=$capi_dir/xdg
capi_provider="Microsoft Enhanced RSA and AES Cryptographic Provider"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$capi_dir/ca.key" -out "$capi_dir/ca.pem" \
  -subj "/CN=Demo CA" -days 2 2>/dev/null

capi_show() {  # capi_show TARGET ARGS...: shows the command and its envelope; keeps it in $out
  local target=$1; shift
  printf '\n$ %s' "$([ "$target" = linux ] && echo ankor || echo "wine ankor.exe")"
  printf ' %q' "$@"; printf '\n'
  out=$("$target" ankor "$@")
  printf '%s\n' "$out"
}

for capi_target in linux windows; do
  capi_container="demo-$capi_target-$$"
  echo
  echo "== ankor capi on $([ "$capi_target" = linux ] && echo "Linux (data in \$XDG_DATA_HOME/ankor)" || echo "Wine")"
  capi_show "$capi_target" capi list csp
  capi_show "$capi_target" capi repo createKeyPair "$capi_provider" 24 "$capi_container" false true 2048 - "Ana Silva" true
  success_text | base64 -d >"$capi_dir/req.der"
  echo "(openssl: $(openssl req -inform DER -in "$capi_dir/req.der" -verify -noout 2>&1), $(openssl req -inform DER -in "$capi_dir/req.der" -noout -subject))"
  capi_show "$capi_target" capi list listContainer "$capi_provider" 24

  echo
  echo "(the demo CA issues the certificate for the request)"
  openssl x509 -req -inform DER -in "$capi_dir/req.der" -CA "$capi_dir/ca.pem" -CAkey "$capi_dir/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 2 -outform DER -out "$capi_dir/cert.der" 2>/dev/null
  capi_show "$capi_target" capi repo importCertificate "$capi_provider" 24 "$capi_container" "$(base64 -w0 "$capi_dir/cert.der")"

  capi_thumbprint=$(openssl x509 -inform DER -in "$capi_dir/cert.der" -noout -fingerprint -sha1 \
    | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
  printf 'Signed with the CryptoAPI' >"$capi_dir/data"
  capi_show "$capi_target" capi crypt sign "$capi_thumbprint" sha256 "$(base64 -w0 "$capi_dir/data")" false
  success_text | base64 -d >"$capi_dir/sig"
  openssl x509 -inform DER -in "$capi_dir/cert.der" -pubkey -noout >"$capi_dir/cert-key.pem"
  echo "(openssl dgst -sha256 -verify with the certificate's key: $(openssl dgst -sha256 -verify "$capi_dir/cert-key.pem" -signature "$capi_dir/sig" "$capi_dir/data"))"
  capi_show "$capi_target" capi crypt sign "$(tr 'a-f' 'A-F' <<<"$capi_thumbprint")" sha256 "$(base64 -w0 "$capi_dir/data")" false
done

echo
echo "(Linux storage: $(cd "$XDG_DATA_HOME" && find ankor -type f -printf '%p %m\n' | sort | tr '\n' ';'))"
unset XDG_DATA_HOME
rm -rf "$capi_dir"
