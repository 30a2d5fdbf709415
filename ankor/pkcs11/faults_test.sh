#!/usr/bin/env bash
# Error paths that SoftHSM2 cannot produce, injected by the tests' forwarding module
# (testing/forward_module.cpp) in front of a SoftHSM2 token, and the calls ankor
# makes as that module records them.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/token.sh"

make_token "Ankor Faults"
modules="$TARVO_BUILD_DIR/tests"
export ANKOR_PKCS11_MODULE_GD=$modules/libankor_p11_forward.so
export ANKOR_PKCS11_MODULE_AT=$modules/libankor_p11_forward.so
export ANKOR_FAULT_RECORD=$work/calls
# recorded [GREP OPTIONS]: the calls since the last look; without options, all but
# the logins, initialisations and finalisations.
recorded() {
  if [ $# -eq 0 ]; then set -- -vE 'C_Login|C_Initialize|C_Finalize'; fi
  grep "$@" "$work/calls" 2>/dev/null || true
  rm -f "$work/calls"
}

# fault VARIABLE=VALUE... -- ARGS: runs ankor with the faults set for that run only.
fault() {
  local settings=()
  while [ "$1" != "--" ]; do settings+=("$1"); shift; done
  shift
  env "${settings[@]}" LD_PRELOAD="$preload" "$(exe ankor)" "$@" >"$out_raw"
  out=$(cat "$out_raw")
}

ankor pkcs11 repo createKeyPair GD "$serial" "Fault key" 2048 "$PIN"
key_b64=$(success_text)
check "a key pair through the forwarding module" "-$(printf 'Fault key' | base64 -w0)" "$(base64 -d <<<"$key_b64" | cut -c5-)"
data_b64=$(printf 'payload' | base64 -w0)
# A certificate for the imports (any will do: the module is told to fail or records).
openssl req -x509 -newkey rsa:1024 -nodes -keyout /dev/null -subj /CN=Fault -days 1 \
  -outform DER -out "$work/fault.der" 2>/dev/null
cert_b64=$(base64 -w0 "$work/fault.der")

# Each case: fault settings, the command, the expected member and value.
while IFS='|' read -r description settings member value words; do
  # shellcheck disable=SC2086
  fault ANKOR_FAULT_NONE=1 $settings -- $words
  check "$description" "$(envelope "$member" "$value")" "$out"
done <<CASES
C_Initialize fails: named, as no token is usable|ANKOR_FAULT_INITIALIZE=0x5|error|"Erro ao inicializar biblioteca GD: C_Initialize 0x00000005"|pkcs11 list tokens GD
C_GetTokenInfo fails: the token is dropped|ANKOR_FAULT_TOKENINFO=0x30|success|[]|pkcs11 list tokens GD
serial SN-12 is not hexadecimal|ANKOR_FAULT_SERIAL=SN-12|success|[]|pkcs11 list tokens GD
empty serial|ANKOR_FAULT_SERIAL=|success|[]|pkcs11 list tokens GD
hexadecimal serial with blanks|ANKOR_FAULT_SERIAL=0A1B2C3D|error|"Token Type ou Serial invalido"|pkcs11 list objects GD 0a1b2c3d $PIN
7168 bytes free refuses the key|ANKOR_FAULT_FREE_PUBLIC=7168|error|"Token nao possui espaco suficiente para criacao de chave e posterior importacao de certificado"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
generation: device error|ANKOR_FAULT_GENERATE=0x30|success|"Erro na geracao do par de chaves: Erro no dispositivo"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
generation: device memory|ANKOR_FAULT_GENERATE=0x31|success|"Erro na geracao do par de chaves: Dispositivo sem memória"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
generation: device removed|ANKOR_FAULT_GENERATE=0x32|success|"Erro na geracao do par de chaves: Dispositivo removido"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
generation: another code|ANKOR_FAULT_GENERATE=0x62|success|"Erro na geracao do par de chaves: 98"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
import: device error|ANKOR_FAULT_CREATE=0x30|error|"Erro na importação do certificado: Erro no dispositivo"|pkcs11 repo importCertificate AT $serial $key_b64 L $PIN $cert_b64
import: device memory|ANKOR_FAULT_CREATE=0x31|error|"Erro na importação do certificado: Dispositivo sem memória"|pkcs11 repo importCertificate AT $serial $key_b64 L $PIN $cert_b64
import: device removed|ANKOR_FAULT_CREATE=0x32|error|"Erro na importação do certificado: Dispositivo removido"|pkcs11 repo importCertificate AT $serial $key_b64 L $PIN $cert_b64
import: another code|ANKOR_FAULT_CREATE=0xD1|error|"Erro na importação do certificado: 209"|pkcs11 repo importCertificate AT $serial $key_b64 L $PIN $cert_b64
login: PIN incorrect|ANKOR_FAULT_LOGIN=0xA0|error|"Erro no Login - Pin incorreto"|pkcs11 list objects GD $serial $PIN
login: PIN invalid|ANKOR_FAULT_LOGIN=0xA1|error|"Erro no Login - Pin invalido"|pkcs11 list objects GD $serial $PIN
login: PIN length|ANKOR_FAULT_LOGIN=0xA2|error|"Erro no Login - Tamanho do Pin invalido"|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
login: PIN expired|ANKOR_FAULT_LOGIN=0xA3|error|"Erro no Login - Pin expirado"|pkcs11 crypt signWithKeyId GD $serial $key_b64 sha1 $PIN false $data_b64
a locked PIN is not tried|ANKOR_FAULT_TOKEN_FLAGS=0x40000 ANKOR_FAULT_LOGIN=0xA0|error|"Erro no Login - Pin bloqueado"|pkcs11 list objects GD $serial $PIN
login: PIN locked|ANKOR_FAULT_LOGIN=0xA4|error|"Erro no Login - Pin bloqueado"|pkcs11 repo importCertificate GD $serial $key_b64 L $PIN $cert_b64
login: arguments bad|ANKOR_FAULT_LOGIN=0x7|error|"Erro no Login - Argumentos invalidos"|pkcs11 list objects GD $serial $PIN
login: already logged in|ANKOR_FAULT_LOGIN=0x100|error|"Erro no Login - Erro Generico"|pkcs11 list objects GD $serial $PIN
login: user PIN not initialised|ANKOR_FAULT_LOGIN=0x102|error|"Erro no Login - Pin nao inicializado"|pkcs11 list objects GD $serial $PIN
no session handle, read-write|ANKOR_FAULT_OPENSESSION=0x30|error|null|pkcs11 repo createKeyPair GD $serial K 2048 $PIN
no session handle, read-only|ANKOR_FAULT_OPENSESSION=0x30|error|null|pkcs11 list certificates GD
no session handle, public key|ANKOR_FAULT_OPENSESSION=0x30|error|null|pkcs11 repo getPublicKey GD $serial $key_b64
CASES
recorded >/dev/null

# 7169 free bytes pass the check; so does the unavailable value (all ones).
for free in 7169 0xFFFFFFFFFFFFFFFF; do
  fault ANKOR_FAULT_FREE_PUBLIC=$free -- pkcs11 repo createKeyPair GD "$serial" K 2048 "$PIN"
  check "free memory $free passes" "-$(printf K | base64 -w0)" "$(base64 -d <<<"$(success_text)" | cut -c5-)"
done
fault ANKOR_FAULT_FREE_PUBLIC=0xFFFFFFFFFFFFFFFF -- pkcs11 list tokens GD
check "unavailable memory listed as the 32-bit value" 1 "$(grep -c '"freePublicMemory": 4294967295,' <<<"$out")"

# A serial with blanks after it is trimmed and listed (every slot of the module
# reports it, the free slot of SoftHSM2 included).
fault ANKOR_FAULT_SERIAL=0A1B2C3D -- pkcs11 list tokens GD
check "trimmed hexadecimal serial" "0A1B2C3D" "$(member serial | sort -u)"

# C_GetSlotInfo failing spoils only the two slot values.
fault ANKOR_FAULT_SLOTINFO=0x30 -- pkcs11 list tokens GD
check "slot values carry the call's failure" \
  "[ERROR] P11Store.getManufacturerId - C_GetSlotInfo, rv: 48|[ERROR] P11Store.description - C_GetSlotInfo, rv: 48|$serial" \
  "$(member manufacturerId)|$(member slotDescription)|$(member serial)"

# A module lacking C_GetSlotInfo and C_Login: those steps fail as if called.
export ANKOR_PKCS11_MODULE_GD=$modules/libankor_p11_forward_lean.so
ankor pkcs11 list tokens GD
check "missing C_GetSlotInfo" "[ERROR] P11Store.getManufacturerId - C_GetSlotInfo, rv: 84" "$(member manufacturerId)"
ankor pkcs11 repo createKeyPair GD "$serial" K 2048 "$PIN"
check "missing C_Login" "$(envelope error '"Erro no Login - Erro Generico"')" "$out"
export ANKOR_PKCS11_MODULE_GD=$modules/libankor_p11_forward.so

# Under ND, a module whose C_Initialize fails adds nothing and the others still
# list theirs (copies of the forwarding module share one SoftHSM2).
cp "$modules/libankor_p11_forward.so" "$work/gd-module.so"
cp "$modules/libankor_p11_forward.so" "$work/other-module.so"
for code in ET AT BR OB EP DX; do export ANKOR_PKCS11_MODULE_$code=$work/other-module.so; done
fault ANKOR_PKCS11_MODULE_GD="$work/gd-module.so" ANKOR_FAULT_SCOPE=gd- ANKOR_FAULT_INITIALIZE=0x6 -- pkcs11 list tokens ND
check "ND without the failing module" "ET AT BR OB EP DX" "$(member type | tr '\n' ' ' | sed 's/ $//')"
ankor pkcs11 repo importCertificate AT "$serial" "$key_b64" "Fault key" "$PIN" \
  "$(openssl req -x509 -newkey rsa:1024 -nodes -keyout /dev/null -subj /CN=x -days 1 -outform DER 2>/dev/null | base64 -w0)"
ankor pkcs11 list certificates ND
check "one certificate listed once per token that holds it" 7 "$(grep -c '"thumbprint"' <<<"$out")"
export ANKOR_PKCS11_MODULE_AT=$modules/libankor_p11_forward.so
recorded >/dev/null

# A failed signature is never a signature: C_SignInit or either C_Sign failing gives
# the empty text, by key id and by thumbprint (the certificate imported above).
ankor pkcs11 list certificates AT
cert_thumbprint=$(member thumbprint | head -1)
digest_b64=$(printf 'payload' | openssl dgst -sha256 -binary | base64 -w0)
for setting in SIGNINIT=0x68 SIGN_LENGTH=0x32 SIGN=0x32 SIGN=0x101 SIGN=0x50 SIGN=0x21; do
  fault ANKOR_FAULT_$setting -- pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" sha256 "$PIN" true "$digest_b64"
  check "signWithKeyId with $setting signs nothing" "$(envelope success '""')" "$out"
  fault ANKOR_FAULT_$setting -- pkcs11 crypt sign AT "$cert_thumbprint" sha256 "$PIN" "$data_b64" false
  check "sign by thumbprint with $setting signs nothing" "$(envelope success '""')" "$out"
done
ankor pkcs11 crypt sign AT "$cert_thumbprint" sha256 "$PIN" "$data_b64" false
check "the same signature without a fault" 344 "$(success_text | tr -d '\n' | wc -c)"
recorded >/dev/null

# signList logs in once for the whole list and signs each element once; a signature
# that fails fails the list, naming the element, and returns no signature.
list_b64=$(printf '[{"value":"%s","hashedData":false,"id":1},{"value":"%s","hashedData":true,"id":"b"},{"value":"%s","hashedData":false,"id":3}]' \
  "$data_b64" "$digest_b64" "$data_b64" | base64 -w0)
ankor pkcs11 crypt signList AT "$cert_thumbprint" sha256 "$PIN" "$list_b64"
check "signList: three signatures" 3 "$(grep -c '"signed": "' <<<"$out")"
calls=$(recorded -E 'C_Login|C_Sign')
check "signList: one login" 1 "$(grep -c C_Login <<<"$calls")"
check "signList: one signature per element" 3 "$(grep -c C_Sign <<<"$calls")"
for setting in SIGNINIT=0x68 SIGN_LENGTH=0x32 SIGN=0x101; do
  fault ANKOR_FAULT_$setting -- pkcs11 crypt signList AT "$cert_thumbprint" sha256 "$PIN" "$list_b64"
  check "signList with $setting" "$(envelope error '"Elemento 1 (id 1): Erro na assinatura"')" "$out"
done
recorded >/dev/null

# The modules are finalised at the end of every run, also when the group word or
# the login fails.
ankor pkcs11 lists tokens GD
check "unknown group: loaded and released" $'C_Initialize\nC_Finalize' "$(recorded -E 'C_Initialize|C_Finalize')"
fault ANKOR_FAULT_LOGIN=0xA0 -- pkcs11 list objects GD "$serial" "$PIN"
check "failed login: released" $'C_Initialize\nC_Login user=1 pinLength=4\nC_Finalize' "$(recorded -e .)"

# What reaches the module: PIN presence and length (no login at all for "ND" and
# empty PINs, as SoftHSM2's token has no PIN pad), the templates in their order, the
# exact DigestInfo signed.
for pin in ND "" 1234; do
  ankor pkcs11 list objects GD "$serial" "$pin"
done
check "logins for ND, empty and 1234" "C_Login user=1 pinLength=4" "$(recorded -e C_Login)"
fault ANKOR_FAULT_TOKEN_FLAGS=0x100 -- pkcs11 list objects GD "$serial" ND
check "a PIN pad's login for ND" "C_Login user=1 pin=null" "$(recorded -e C_Login)"

ulong() { printf '%016x' "$1" | fold -w2 | tac | tr -d '\n'; }  # CK_ULONG, little-endian
bool=01
ankor pkcs11 repo createKeyPair GD "$serial" "Template" 1024 "$PIN"
id_hex=$(base64 -d <<<"$(success_text)" | od -An -tx1 | tr -d ' \n')
label_hex=$(printf Template | od -An -tx1 | tr -d ' \n')
check "key pair templates" \
  "C_GenerateKeyPair mechanism=0 public=8 102=$id_hex 3=$label_hex 1=$bool 104=$bool 10a=$bool 121=$(ulong 1024) 122=010001 106=$bool private=8 102=$id_hex 3=$label_hex 1=$bool 2=$bool 103=$bool 105=$bool 108=$bool 107=$bool" \
  "$(recorded)"
ankor pkcs11 repo createKeyPair GD "$serial" "Template" abc "$PIN"
check "non-numeric key size sends 0" "121=$(ulong 0)" "$(recorded | grep -o "121=[0-9a-f]*" | head -1)"
check "and reports the module's code" 1 "$(grep -c 'Erro na geracao do par de chaves: [0-9]' <<<"$out")"

cert_hex=$(od -An -tx1 "$work/fault.der" | tr -d ' \n')
read -r subject_hex issuer_hex serial_hex < <(python3 "$TARVO_SOURCE_DIR/ankor/pkcs11/testing/certificate_fields.py" "$work/fault.der")
names="81=$issuer_hex 82=$serial_hex 101=$subject_hex"
key_raw_hex=$(base64 -d <<<"$key_b64" | od -An -tx1 | tr -d ' \n')
common="80=$(ulong 0) 11=$cert_hex 1=$bool 0=$(ulong 1) 102=$key_raw_hex 3=$(printf Lbl | od -An -tx1 | tr -d ' \n')"
fault ANKOR_FAULT_CREATE=0x30 -- pkcs11 repo importCertificate GD "$serial" "$key_b64" Lbl "$PIN" "$cert_b64"
check "9 attributes for GD" "C_CreateObject 9 $common $names" "$(recorded)"
fault ANKOR_FAULT_CREATE=0x30 -- pkcs11 repo importCertificate AT "$serial" "$key_b64" Lbl "$PIN" "$cert_b64"
check "11 attributes for AT" "C_CreateObject 11 $common 2=00 170=$bool $names" "$(recorded)"
fault ANKOR_FAULT_CREATE=0x30 -- pkcs11 repo importCertificate AT "$serial" "$key_b64" Lbl "$PIN" MIIBCg==
check "no certificate, no session" "" "$(recorded)"

digest=$(printf 'payload' | openssl dgst -sha1 -binary | od -An -tx1 | tr -d ' \n')
ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" sha1 "$PIN" true "$(printf 'payload' | openssl dgst -sha1 -binary | base64 -w0)"
check "SHA-1 DigestInfo of a given digest" "C_Sign data=3021300906052b0e03021a05000414$digest" "$(recorded | grep C_Sign)"
digest=$(printf 'payload' | openssl dgst -sha512 -binary | od -An -tx1 | tr -d ' \n')
ankor pkcs11 crypt signWithKeyId GD "$serial" "$key_b64" sha512 "$PIN" false "$data_b64"
check "SHA-512 DigestInfo of hashed data" "C_Sign data=3051300d060960864801650304020305000440$digest" "$(recorded | grep C_Sign)"

finish
