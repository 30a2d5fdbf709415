#!/usr/bin/env bash
# p11-kit's trust module as a second real module: it exports C_GetFunctionList only,
# and its read-only token (serial "1") holds the system's CA certificates. The
# listings go through its function table; the certificates listed are exactly those
# of the system CA bundle; every read-write operation fails cleanly.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
TRUST=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so
BUNDLE=/etc/ssl/certs/ca-certificates.crt
work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT
export ANKOR_PKCS11_MODULE_GD=$TRUST ANKOR_PKCS11_MODULE_AT=$TRUST
ankor() { run_program ankor "$@"; }

check "the module exports no C_* name but C_GetFunctionList" "C_GetFunctionList" \
  "$(nm -D --defined-only "$TRUST" | awk '$3 ~ /^C_/ {print $3}')"

ankor pkcs11 list tokens GD
check "one token, serial 1" "1" "$(member serial)"
check "its label" "System Trust" "$(member tokenLabel)"
check "the bundle's slot" "$BUNDLE" "$(member slotDescription)"
check "unavailable memory figures as the 32-bit value" "4294967295 4294967295" \
  "$(member freePublicMemory) $(member freePrivateMemory)"

# The thumbprints are sha1sum of each certificate (DER) of the bundle, as many as
# it holds.
awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ {n++; next} /-----END/ {next}
  n {print > (dir "/ca-" n ".b64")}' "$BUNDLE"
for body in "$work"/ca-*.b64; do base64 -d "$body" | sha1sum | cut -d' ' -f1; done | sort >"$work/expected"
ankor pkcs11 list certificates GD
member thumbprint | sort >"$work/listed"
check "as many certificates as the bundle" "$(grep -c 'BEGIN CERTIFICATE' "$BUNDLE")" "$(wc -l <"$work/listed")"
check "the bundle's thumbprints" "$(cat "$work/expected")" "$(cat "$work/listed")"
check "every record names the token" "1" "$(member serial | sort -u)"

# Read-write operations: the module opens no read-write session on its read-only
# token, so each ends with the bare failure; nothing is signed or written.
thumbprint=$(head -1 "$work/listed")
cert_b64=$(tr -d '\n' <"$work/ca-1.b64")
data_b64=$(printf 'data' | base64 -w0)
while IFS='|' read -r description words; do
  # shellcheck disable=SC2086
  ankor $words
  check "$description" "$(envelope error null)" "$out"
  check "$description: exit status" 0 "$status"
done <<CASES
objects listing with a PIN|pkcs11 list objects GD 1 1234
key pair|pkcs11 repo createKeyPair GD 1 Label 2048 1234
certificate import, 6 attributes|pkcs11 repo importCertificate GD 1 AAE= Label 1234 $cert_b64
certificate import, 11 attributes|pkcs11 repo importCertificate AT 1 AAE= Label 1234 $cert_b64
signing by id|pkcs11 crypt signWithKeyId GD 1 AAE= sha256 1234 false $data_b64
signing by a listed thumbprint|pkcs11 crypt sign GD $thumbprint sha256 1234 $data_b64 false
CASES
ankor pkcs11 repo getPublicKey GD 1 AAE=
check "no public key on the trust token" "$(envelope success '""')" "$out"

finish
