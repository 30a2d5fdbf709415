#!/usr/bin/env bash
# The real ankor against the real CryptoAPI: the OpenSSL port on Linux (in a temporary
# XDG_DATA_HOME), Wine's rsaenh and crypt32 under Wine (unique container names per run;
# they stay in the build's prefix). openssl checks the requests and signatures and
# plays the certificate authority.
source "$TARVO_SOURCE_DIR/tests/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT
export XDG_DATA_HOME="$work/xdg"
AES="Microsoft Enhanced RSA and AES Cryptographic Provider"
BASE="Microsoft Base Cryptographic Provider v1.0"
run_id="$$-$RANDOM"
container="e2e-$run_id"

ankor() { run_program ankor "$@"; }
b64file() { base64 -w0 "$1"; }
unb64() { printf '%s' "$1" | base64 -d >"$2"; }
json_field() { python3 -c 'import json, sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$@"; }

# ---- listing ----------------------------------------------------------------------
ankor capi list csp
check "listCSPs names the AES provider with type 24" yes \
  "$(python3 -c 'import json, sys
l = json.loads(sys.argv[1]); print("yes" if {"cspname": sys.argv[2], "csptype": 24} in l else l)' \
     "$(result)" "$AES")"
ankor capi list countContainer "$AES" 24
containers_before=$(result)

# ---- key pair and request -------------------------------------------------------------
ankor capi repo createKeyPair "$AES" 24 "$container" false true 2048 unused "Ana Silva" true
request=$(result)
ankor capi repo createKeyPair "$AES" 24 "$container" true false 1024 unused "" false
blob=$(result)
ankor capi repo createKeyPair "$AES" 24 "$(printf '%s' "$container" | tr 'a-z' 'A-Z')" true false 1024 unused "" false
check "container names ignore letter case" "$blob" "$(result)"
unb64 "$blob" "$work/key.blob"
openssl rsa -pubin -inform MSBLOB -in "$work/key.blob" -pubout -out "$work/key.pem" 2>/dev/null
check "PUBLICKEYBLOB is a 2048-bit RSA key" "Public-Key: (2048 bit)" \
  "$(openssl pkey -pubin -in "$work/key.pem" -noout -text | head -n1)"
check "PUBLICKEYBLOB header" "0602000000a4000052534131" "$(head -c 12 "$work/key.blob" | od -An -tx1 | tr -d ' \n')"

unb64 "$request" "$work/req.der"
openssl req -inform DER -in "$work/req.der" -out "$work/req.pem"
check "request verifies" "Certificate request self-signature verify OK" \
  "$(openssl req -in "$work/req.pem" -verify -noout 2>&1)"
check "request subject is the common name alone" "CN=Ana Silva" \
  "$(openssl req -in "$work/req.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')"
check "subject is a PrintableString" 1 \
  "$(openssl asn1parse -inform DER -in "$work/req.der" | grep -c 'PRINTABLESTRING *:Ana Silva')"
check "request signature is sha256WithRSAEncryption" 1 \
  "$(openssl req -in "$work/req.pem" -noout -text | grep -c 'Signature Algorithm: sha256WithRSAEncryption')"
check "request key is the PUBLICKEYBLOB key" "$(openssl pkey -pubin -in "$work/key.pem" -outform DER | od -An -tx1)" \
  "$(openssl req -in "$work/req.pem" -noout -pubkey | openssl pkey -pubin -outform DER | od -An -tx1)"
# Any software provider reaches the same container through the AES provider.
ankor capi repo generateCSR "$BASE" 1 "$container" "CN=Ana,O=X"
unb64 "$(result)" "$work/req2.der"
check "generateCSR through the Base provider verifies" "Certificate request self-signature verify OK" \
  "$(openssl req -inform DER -in "$work/req2.der" -verify -noout 2>&1)"
check "a common name written as a DN stays one common name" "CN=CN=Ana\\,O=X" \
  "$(openssl req -inform DER -in "$work/req2.der" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')"

# ---- certificate from a throw-away CA, installed in the MY store --------------------------
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=ankor test CA $run_id" -days 1 2>/dev/null
openssl x509 -req -in "$work/req.pem" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial "0x$(openssl rand -hex 8)" -days 1 -outform DER -out "$work/cert.der" 2>/dev/null
openssl x509 -inform DER -in "$work/cert.der" -pubkey -noout >"$work/cert-key.pem"
thumbprint=$(openssl x509 -inform DER -in "$work/cert.der" -noout -fingerprint -sha1 \
  | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')

for attempt in first second; do  # installing the same certificate again succeeds too
  ankor capi repo importCertificate "$AES" 24 "$container" "$(b64file "$work/cert.der")"
  check "importCertificate ($attempt time)" '{"result":"ok"}' "$(result)"
done

ankor capi list listContainer "$AES" 24
check "listContainer sees the container" yes \
  "$(python3 -c 'import json, sys; print("yes" if {"name": sys.argv[2]} in json.loads(sys.argv[1]) else "no")' \
     "$(result)" "$container")"
ankor capi list countContainer "$AES" 24
check "countContainer counts it" "$((containers_before + 1))" "$(result)"

# ---- names outside ASCII ------------------------------------------------------------------
# Listings are UTF-8 (converted from the ANSI code page on Windows) and keep every name;
# a listed name given back on the command line, as the host does, opens its container.
accented="café-$run_id"
ankor capi repo createKeyPair "$AES" 24 "$accented" false false 1024 x "" false
accented_blob=$(result)
ankor capi list listContainer "$AES" 24
listed=$(python3 -c 'import json, sys
names = [c["name"] for c in json.loads(sys.argv[1]) if c["name"].endswith(sys.argv[2])]
print(names[0] if names else "(not listed)")' "$(result)" "é-$run_id")
check "a name outside ASCII is listed as UTF-8" "$accented" "$listed"
ankor capi repo createKeyPair "$AES" 24 "$listed" true false 1024 x "" false
check "the listed name opens its container" "$accented_blob" "$(result)"
if [ "$TARVO_PLATFORM" = win32 ]; then
  # A provider registered under a name outside ASCII (Wine's rsaenh behind it).
  provider="Fournisseur Café $run_id"
  provider_key="HKLM\\Software\\Microsoft\\Cryptography\\Defaults\\Provider\\$provider"
  trap '"$TARVO_RUNNER" reg delete "$provider_key" /f >/dev/null 2>&1 || true; rm -rf "$work" "$out_raw"' EXIT
  "$TARVO_RUNNER" reg add "$provider_key" /v "Image Path" /t REG_SZ /d rsaenh.dll /f >/dev/null
  "$TARVO_RUNNER" reg add "$provider_key" /v Type /t REG_DWORD /d 24 /f >/dev/null
  ankor capi list csp
  check "listCSPs lists a provider name outside ASCII as UTF-8" yes \
    "$(python3 -c 'import json, sys
l = json.loads(sys.argv[1]); print("yes" if {"cspname": sys.argv[2], "csptype": 24} in l else l)' \
       "$(result)" "$provider")"
  listed_provider=$(python3 -c 'import json, sys
print([p["cspname"] for p in json.loads(sys.argv[1]) if p["cspname"].endswith(sys.argv[2])][0])' \
    "$(result)" "$run_id")
  ankor capi list listContainer "$listed_provider" 24
  check "the listed provider name opens the provider" yes \
    "$(python3 -c 'import json, sys; print("yes" if {"name": sys.argv[2]} in json.loads(sys.argv[1]) else "no")' \
       "$(result)" "$accented")"
  "$TARVO_RUNNER" reg delete "$provider_key" /f >/dev/null
else
  # The Linux code page is UTF-8: a byte that is not UTF-8 is listed as U+FFFD.
  ankor capi repo createKeyPair "$AES" 24 "$(printf 'bad\377')-$run_id" false false 1024 x "" false
  ankor capi list listContainer "$AES" 24
  check "a name that is not UTF-8 is listed with U+FFFD" yes \
    "$(python3 -c 'import json, sys; print("yes" if {"name": sys.argv[2]} in json.loads(sys.argv[1]) else "no")' \
       "$(result)" "bad�-$run_id")"
fi

# ---- listing the MY store: capi list certificates ----------------------------------------------
sha1_of() { sha1sum "$1" | cut -c1-40; }

# A certificate with names outside ASCII and no key binding, put in the store beside
# ankor: on Linux as a store entry, under Wine in crypt32's registry store.
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$work/utf8.key" -outform DER -out "$work/utf8.der" \
  -days 2 -utf8 -subj "/C=BR/ST=São Paulo/O=Ankor Testes, Ltda/CN=José Ñandú 日本 $run_id" 2>/dev/null
utf8_thumbprint=$(sha1_of "$work/utf8.der")
printf 'not a certificate %s' "$run_id" >"$work/junk.der"
junk_thumbprint=$(sha1_of "$work/junk.der")
if [ "$TARVO_PLATFORM" = win32 ]; then
  cert_key="HKCU\\Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\$(tr 'a-f' 'A-F' <<<"$utf8_thumbprint")"
  trap '"$TARVO_RUNNER" reg delete "$cert_key" /f >/dev/null 2>&1 || true; rm -rf "$work" "$out_raw"' EXIT
  # A serialized element: the certificate property (32), 1, its length, the DER.
  blob=$(python3 -c 'import struct, sys
der = open(sys.argv[1], "rb").read(); print((struct.pack("<III", 32, 1, len(der)) + der).hex())' "$work/utf8.der")
  "$TARVO_RUNNER" reg add "$cert_key" /v Blob /t REG_BINARY /d "$blob" /f >/dev/null
else
  my_store="$XDG_DATA_HOME/ankor/stores/MY"
  { echo "ankor-certificate 1"; openssl x509 -inform DER -in "$work/utf8.der"; } >"$my_store/$utf8_thumbprint.cer"
  { echo "ankor-certificate 1"; echo "-----BEGIN CERTIFICATE-----"; base64 -w64 "$work/junk.der"
    echo "-----END CERTIFICATE-----"; } >"$my_store/$junk_thumbprint.cer"
fi

ankor capi list certificates
listing=$out
imported=$(record_of "$thumbprint")
check "the imported certificate is listed with its key binding" \
  "$(python3 -c 'import json, sys; print(json.dumps({"container": sys.argv[1], "provider": sys.argv[2],
"providerType": 24, "keySpec": 1}, sort_keys=True))' "$container" "$AES")" \
  "$(pick "$imported" container provider providerType keySpec)"
check "the imported certificate's fields are those openssl reads" "$(openssl_fields "$work/cert.der")" \
  "$(pick "$imported" subject issuer serialNumber notBefore notAfter)"
check "the listing carries the certificate's DER" "$(b64file "$work/cert.der")" \
  "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["certificate"])' "$imported")"
unbound=$(record_of "$utf8_thumbprint")
check "a certificate without key binding has null binding members" \
  '{"container": null, "keySpec": null, "provider": null, "providerType": null}' \
  "$(pick "$unbound" container provider providerType keySpec)"
check "names outside ASCII are listed as UTF-8, as openssl reads them" "$(openssl_fields "$work/utf8.der")" \
  "$(pick "$unbound" subject issuer serialNumber notBefore notAfter)"
# The thumbprint the listing gives is the one signing takes.
printf 'listed %s' "$run_id" >"$work/listed"
ankor capi crypt sign "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["thumbprint"])' "$imported")" \
  sha256 "$(b64file "$work/listed")" false
unb64 "$(result)" "$work/listed.sig"
check "the listed thumbprint signs" "Verified OK" \
  "$(openssl dgst -sha256 -verify "$work/cert-key.pem" -signature "$work/listed.sig" "$work/listed")"
if [ "$TARVO_PLATFORM" = win32 ]; then
  "$TARVO_RUNNER" reg delete "$cert_key" /f >/dev/null
  ankor capi list certificates
  check "the certificate removed from the registry store is no longer listed" none "$(record_of "$utf8_thumbprint")"
else
  out=$listing
  check "an entry that is no certificate is listed with null fields" \
    "$(python3 -c 'import json, sys; print(json.dumps({"certificate": sys.argv[1], "subject": None, "issuer": None,
"serialNumber": None, "notBefore": None, "notAfter": None, "container": None}, sort_keys=True))' "$(b64file "$work/junk.der")")" \
    "$(pick "$(record_of "$junk_thumbprint")" certificate subject issuer serialNumber notBefore notAfter container)"
  check "the store is listed in the order of its file names" \
    "$(ls "$my_store" | sed 's/\.cer$//' | sort | tr '\n' ' ')" \
    "$(python3 -c 'import json, sys; print(" ".join(r["thumbprint"] for r in json.loads(sys.stdin.read())["success"]), end=" ")' <<<"$out")"
  rm "$my_store/$utf8_thumbprint.cer" "$my_store/$junk_thumbprint.cer"
  # No store directory yet: an empty listing.
  XDG_DATA_HOME="$work/empty" ankor capi list certificates
  check "an absent store lists nothing" "$(envelope success '[]')" "$out"
fi

# ---- signing by thumbprint ------------------------------------------------------------------
printf 'data to sign, run %s' "$run_id" >"$work/data"
for alg in sha1 sha256 sha512; do
  ankor capi crypt sign "$thumbprint" "$alg" "$(b64file "$work/data")" false
  unb64 "$(result)" "$work/sig"
  check "sign $alg data verifies" "Verified OK" \
    "$(openssl dgst -"$alg" -verify "$work/cert-key.pem" -signature "$work/sig" "$work/data")"
  openssl dgst -"$alg" -binary "$work/data" >"$work/digest"
  ankor capi crypt sign "$thumbprint" "$alg" "$(b64file "$work/digest")" true
  unb64 "$(result)" "$work/sig"
  check "sign $alg digest verifies" "Signature Verified Successfully" \
    "$(openssl pkeyutl -verify -pubin -inkey "$work/cert-key.pem" -pkeyopt digest:"$alg" \
         -in "$work/digest" -sigfile "$work/sig")"
done

# Base64 without its padding: the last two or three characters still carry their bytes.
for plain in hello hell; do
  printf '%s' "$plain" >"$work/short"
  ankor capi crypt sign "$thumbprint" sha256 "$(b64file "$work/short" | tr -d =)" false
  unb64 "$(result)" "$work/sig"
  check "sign of unpadded '$plain' verifies" "Verified OK" \
    "$(openssl dgst -sha256 -verify "$work/cert-key.pem" -signature "$work/sig" "$work/short")"
done
ankor capi crypt signList "$thumbprint" sha256 \
  "$(printf '[{"value":"%s","hashedData":false,"id":"u"}]' "$(printf hello | base64 | tr -d =)" | base64 -w0 | tr -d =)"
unb64 "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])[0]["signed"])' "$(result)")" "$work/sig"
printf hello >"$work/short"
check "signList of an unpadded list and value verifies" "Verified OK" \
  "$(openssl dgst -sha256 -verify "$work/cert-key.pem" -signature "$work/sig" "$work/short")"

openssl dgst -sha256 -binary "$work/data" >"$work/digest"
list=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":true,"id":"two"},{"value":"%s","hashedData":false}]' \
  "$(b64file "$work/data")" "$(b64file "$work/digest")" "$(b64file "$work/data")")
ankor capi crypt signList "$thumbprint" sha256 "$(printf '%s' "$list" | base64 -w0)"
signed=$(result)
check "signList ids and data" "1 two None" \
  "$(python3 -c 'import json, sys; print(*[i["id"] for i in json.loads(sys.argv[1])])' "$signed")"
for index in 0 1 2; do
  unb64 "$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])[int(sys.argv[2])]["signed"])' "$signed" "$index")" "$work/sig"
  check "signList item $index verifies" "Verified OK" \
    "$(openssl dgst -sha256 -verify "$work/cert-key.pem" -signature "$work/sig" "$work/data")"
done

# ---- edge cases -------------------------------------------------------------------------------
upper=$(printf '%s' "$thumbprint" | tr 'a-f' 'A-F')
missing="missing-$run_id"
not_printable='{"error":"generateCSR The first call to CryptEncodeObject failed. A public/private key pair may not exit in the container."}'
# importCertificate for a smart-card or other non-Microsoft provider takes the token
# path, which opens that provider: neither target has one here.
while IFS='|' read -r expected words; do
  eval "set -- $words"
  ankor "$@"
  check "$words" "$expected" "$(result)"
done <<CASES
ERROR: Err CertFindCertificateInStore|capi crypt sign $upper sha256 "$(b64file "$work/data")" false
{"error":"createKeyPair - CryptAcquireContext"}|capi repo createKeyPair "$AES" 24 "$container" false true 2048 x "" false
{"error":"createKeyPair - CryptAcquireContext"}|capi repo createKeyPair "$AES" 24 "$missing" true true 2048 x "" false
{"error":"generateCSR CryptAcquireContext failed 2."}|capi repo generateCSR "$BASE" 1 "$missing" "Ana"
{"error":"countContainers - providerName is null"}|capi list countContainer "" 24
ERROR: countContainers - providerName is null|capi list listContainer "" 24
{"error":"createKeyPair - containerName is null"}|capi repo createKeyPair "$AES" 24 "" false true 2048 x "" false
{"error":"countContainers - CryptAcquireContext. providerName: Microsoft Base Smart Card Crypto Provider - providerType: 1"}|capi list countContainer "Athena ASECard Crypto CSP" 1
{"error":"countContainers - CryptAcquireContext. providerName: Athena ASECard Crypto CSP v2 - providerType: 1"}|capi list countContainer "Athena ASECard Crypto CSP v2" 1
{"error":"countContainers - CryptAcquireContext. providerName: $AES - providerType: 0"}|capi list countContainer "$AES" abc
$not_printable|capi repo generateCSR "$AES" 24 "$container" "Jos\$(printf '\303\251') Silva"
$not_printable|capi repo generateCSR "$AES" 24 "$container" "ana@example.org"
ERROR: acceptPKCS7 - CertCreateCertificateContext|capi repo importCertificate "$AES" 24 "$container" "$(openssl x509 -inform DER -in "$work/cert.der" | base64 -w0)"
ERROR: Err digest length - expected 32 bytes, got 20|capi crypt sign $thumbprint sha256 "$(openssl dgst -sha1 -binary "$work/data" | base64 -w0)" true
ERROR: acceptPKCS7 - Erro recuperando Contexto criptografico. Valide o nome do container e o Provider|capi repo importCertificate "Microsoft Base Smart Card Crypto Provider" 1 "$container" "$(b64file "$work/cert.der")"
ERROR: acceptPKCS7 - Erro recuperando Contexto criptografico. Valide o nome do container e o Provider|capi repo importCertificate "SafeSign Standard Cryptographic Service Provider" 1 "$container" "$(b64file "$work/cert.der")"
{"error":"createKeyPair - CryptGenKey"}|capi repo createKeyPair "$AES" 24 "$container-big" false true 65536 x "" false
{"error":"createKeyPair - CryptGenKey"}|capi repo createKeyPair "$AES" 24 "$container-big" false true -2048 x "" false
{"error":"generateCSR CryptAcquireContext failed 2."}|capi repo createKeyPair "$AES" 24 "$container-big" false true 131072 x "Ana" true
{"error":"createKeyPair - CryptAcquireContext"}|capi repo createKeyPair "$AES" 24 "$container-big" true true 2048 x "" false
[]|capi crypt signList $thumbprint sha1 "$(printf '[]' | base64 -w0)"
ERROR: [json.exception.type_error.302] type must be boolean, but is string|capi crypt signList $thumbprint sha1 "$(printf '[{"value":"eA==","hashedData":"no"}]' | base64 -w0)"
CASES

# Key length: whole multiples of 1024 bits; below 1024 the provider's default. Lengths
# that do not fit the flags (65536 and more) or are negative create no container (the
# last of the four "$container-big" cases above finds none).
for pair in 1536:1024 3000:2048 1000:1024; do
  ankor capi repo createKeyPair "$AES" 24 "$container-${pair%%:*}" false false "${pair%%:*}" x "" false
  unb64 "$(result)" "$work/k.blob"
  check "keyLength ${pair%%:*} gives ${pair##*:} bits" "Public-Key: (${pair##*:} bit)" \
    "$(openssl rsa -pubin -inform MSBLOB -in "$work/k.blob" -noout -text 2>/dev/null | head -n1)"
done

# A certificate bound to a container that does not exist: the key cannot be opened.
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$work/lone.key" -subj "/CN=lone $run_id" \
  -days 1 -outform DER -out "$work/lone.der" 2>/dev/null
ankor capi repo importCertificate "$AES" 24 "$missing" "$(b64file "$work/lone.der")"
lone=$(openssl x509 -inform DER -in "$work/lone.der" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
ankor capi crypt sign "$lone" sha256 "$(b64file "$work/data")" false
check "missing container" "ERROR: Err CryptAcquireContext2 - conjunto de chave nao encontrada = Err 2148073494" "$(result)"

if [ "$TARVO_PLATFORM" = linux ]; then
  # A store entry written by hand in the documented format, without a key-provider record.
  { echo "ankor-certificate 1"; openssl x509 -inform DER -in "$work/lone.der"; } \
    >"$XDG_DATA_HOME/ankor/stores/MY/$lone.cer"
  ankor capi crypt sign "$lone" sha256 "$(b64file "$work/data")" false
  check "certificate without a key record" "ERROR: Err CertGetCertificateContextProperty" "$(result)"
  check "container file is private" 600 "$(stat -c %a "$XDG_DATA_HOME/ankor/containers/$container.key")"
  check "store entry is private" 600 "$(stat -c %a "$XDG_DATA_HOME/ankor/stores/MY/$thumbprint.cer")"

  # Re-importing the installed certificate, killed before each file-changing call in
  # turn (a preloaded library ends the run there): it stays bound and signs after every
  # kill, and the run that completes removes the temporary files the killed ones left.
  killer="$TARVO_BUILD_DIR/tests/libankor_kill_at.so"
  preload=$killer
  # The listing is taken whole first: under pipefail, grep -q ending early could fail
  # ldd with SIGPIPE and so the test.
  if [[ "$(ldd "$(exe ankor)")" == *libasan* ]]; then preload="$(gcc -print-file-name=libasan.so):$killer"; fi
  my="$XDG_DATA_HOME/ankor/stores/MY"
  kills=0 unsigned="" leftovers=0 completed=no
  for n in $(seq 1 200); do
    set +e
    ANKOR_KILL_AT=$n LD_PRELOAD=$preload "$(exe ankor)" capi repo importCertificate "$AES" 24 \
      "$container" "$(b64file "$work/cert.der")" >"$out_raw" 2>/dev/null
    killed=$?
    set -e
    if [ "$killed" -ne 137 ]; then
      [ "$killed" -eq 0 ] && [ "$(cat "$out_raw")" = "$(envelope success '"{\"result\":\"ok\"}"')" ] && completed=yes
      break
    fi
    kills=$((kills + 1))
    leftovers=$((leftovers + $(find "$my" -name '.tmp-*' | wc -l)))
    ankor capi crypt sign "$thumbprint" sha256 "$(b64file "$work/data")" false
    [ "$(verify_pkcs1 "-pubin -inkey $work/cert-key.pem" sha256 "$work/data" "$(success_text)")" = ok ] \
      || unsigned="$unsigned $n"
  done
  check "importCertificate was killed at each of its file-changing calls, then completed" yes \
    "$([ "$kills" -ge 10 ] && [ "$completed" = yes ] && echo yes || echo "$kills kills, completed: $completed")"
  check "the certificate signs after each kill" "" "$unsigned"
  check "killed runs left temporary files" yes "$([ "$leftovers" -gt 0 ] && echo yes || echo no)"
  check "the completed run removed them" 0 "$(find "$my" -name '.tmp-*' | wc -l)"

  # Hostile files: a FIFO and a link to /dev/zero as containers neither hang nor exhaust
  # the listing or the container's use.
  containers="$XDG_DATA_HOME/ankor/containers"
  mkfifo "$containers/fifo-$run_id.key"
  ln -s /dev/zero "$containers/zero-$run_id.key"
  for words in "capi list countContainer|$AES|24" "capi repo generateCSR|$AES|24|fifo-$run_id|CN" \
               "capi repo createKeyPair|$AES|24|zero-$run_id|true|false|1024|x||false"; do
    IFS='|' read -r -a argv <<<"$words"
    set +e
    # shellcheck disable=SC2086
    timeout 60 "$(exe ankor)" ${argv[0]} "${argv[@]:1}" >"$out_raw"
    status=$?
    set -e
    check "${argv[0]} with a FIFO and a device in the store ends" 0 "$status"
  done
  rm -f "$containers/fifo-$run_id.key" "$containers/zero-$run_id.key"

  # A name whose escaped form is exactly 240 bytes (the longest allowed) is usable.
  longest="$(printf 'n%.0s' $(seq 1 237)) "
  ankor capi repo createKeyPair "$AES" 24 "$longest" false false 1024 x "" false
  check "a name escaped to 240 bytes makes a container" "Public-Key: (1024 bit)" \
    "$(unb64 "$(result)" "$work/l.blob"; openssl rsa -pubin -inform MSBLOB -in "$work/l.blob" -noout -text 2>/dev/null | head -n1)"

  # The store's own directories are never followed as links: nothing lands outside.
  mkdir "$work/outside"
  mv "$my" "$work/MY.saved"
  ln -s "$work/outside" "$my"
  ankor capi repo importCertificate "$AES" 24 "$container" "$(b64file "$work/cert.der")"
  check "a linked store directory is refused" "ERROR: acceptPKCS7 - CertOpenStore" "$(result)"
  check "nothing was written through the link" "" "$(ls -A "$work/outside")"
  rm "$my"
  mv "$work/MY.saved" "$my"

  # root with another user's HOME (sudo -E, su without -): a container that user
  # planted in the store is never answered for; nor is one in a store others can write.
  if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1; then
    planter="$work/planter"
    mkdir -p "$planter/xdg"
    chown -R nobody "$planter"
    chmod o+x "$work"  # the planter reaches its directory, and nothing else of $work
    setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$planter" XDG_DATA_HOME="$planter/xdg" \
      "$(exe ankor)" capi repo createKeyPair "$AES" 24 "planted-$run_id" false false 1024 x "" false >"$out_raw"
    planted_blob=$(python3 -c 'import json, sys; print(json.load(sys.stdin)["success"])' <"$out_raw")
    check "the planter made a key" 1 "$(ls "$planter/xdg/ankor/containers" | grep -c "planted-$run_id")"
    XDG_DATA_HOME="$planter/xdg" ankor capi repo createKeyPair "$AES" 24 "planted-$run_id" true false 1024 x "" false
    check "root refuses another user's store" '{"error":"createKeyPair - CryptAcquireContext"}' "$(success_text)"
    check "and does not answer with the planted key" no "$([ "$(success_text)" = "$planted_blob" ] && echo yes || echo no)"
    chown -R root "$planter"
    chmod 0777 "$planter/xdg/ankor/containers"
    XDG_DATA_HOME="$planter/xdg" ankor capi repo createKeyPair "$AES" 24 "planted-$run_id" true false 1024 x "" false
    check "root refuses a store others can write" '{"error":"createKeyPair - CryptAcquireContext"}' "$(success_text)"
    chmod 0700 "$planter/xdg/ankor/containers"
    XDG_DATA_HOME="$planter/xdg" ankor capi repo createKeyPair "$AES" 24 "planted-$run_id" true false 1024 x "" false
    check "the same store, once root's own, is used" "$planted_blob" "$(success_text)"
    chmod o-x "$work"
  fi
fi

finish
