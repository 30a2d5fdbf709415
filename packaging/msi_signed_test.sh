#!/usr/bin/env bash
# The build script's Authenticode signing with a throw-away code-signing certificate
# made by openssl: with a PKCS#12 file and its password file, with a PEM key and
# certificate, and with the key on a SoftHSM2 token (PKCS#11, its PIN in a file). osslsigncode verifies the MSI and the three binaries packed in it (and
# rejects a changed copy); the signed MSI installs under Wine in the build's prefix, and
# the installed binaries carry their signatures. The prefix is restored on every way out.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
prefix=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix}
folder="$prefix/drive_c/Program Files (x86)/Tarvo"
data="$prefix/drive_c/ProgramData/Tarvo"
wine() { "$TARVO_RUNNER" "$@" >/dev/null 2>&1; }
work=$(mktemp -d)
binaries="ankor.exe Orvask.exe TarvoHostmark_V_1_0_1_0.dll"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Tarvo Throw-away Code Signing" -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null
printf 'throw-away' >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout file:"$work/password" \
  -out "$work/signing.p12"

build() {  # build OUTPUT VAR=VALUE...: the build script with that signing environment
  local output=$1; shift
  env "$@" TARVO_DEBUG_DIR="$work/debug" "$TARVO_SOURCE_DIR/packaging/msi/build-msi.sh" \
    "$TARVO_BIN" "$output" >"$work/build.log" 2>&1 || cat "$work/build.log"
}
verified() {  # verified FILE: "ok" when osslsigncode accepts FILE's signature by our certificate
  osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1 && echo ok || echo rejected
}
build "$work/p12.msi" TARVO_SIGN_PKCS12="$work/signing.p12" TARVO_SIGN_PASSWORD_FILE="$work/password"
build "$work/pem.msi" TARVO_SIGN_CERT="$work/cert.pem" TARVO_SIGN_KEY="$work/key.pem"
build "$work/unsigned.msi"
# The same key on a SoftHSM2 token of its own.
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label "Tarvo Signing" --pin 1234 --so-pin 87654321 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -out "$work/key8.pem"
softhsm2-util --import "$work/key8.pem" --token "Tarvo Signing" --label codesign --id 01 --pin 1234 >/dev/null
printf 1234 >"$work/pin"
build "$work/token.msi" TARVO_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so TARVO_SIGN_CERT="$work/cert.pem" \
  TARVO_SIGN_KEY="pkcs11:token=Tarvo%20Signing;object=codesign;type=private" TARVO_SIGN_PASSWORD_FILE="$work/pin"

for kind in p12 pem token; do
  check "$kind: the MSI is signed" ok "$(verified "$work/$kind.msi")"
  mkdir "$work/$kind"
  (cd "$work/$kind" && msiextract "$work/$kind.msi" >/dev/null)
  for name in $binaries; do
    check "$kind: $name in the MSI is signed" ok "$(verified "$work/$kind/Program Files/Tarvo/$name")"
  done
done
check "the signer is our certificate" 1 \
  "$(osslsigncode verify -CAfile "$work/cert.pem" -in "$work/p12.msi" 2>&1 \
    | sed -n "/Signer's certificate:/,/Subject:/p" | grep -c 'Subject: /CN=Tarvo Throw-away Code Signing$' || true)"
check "without a certificate nothing is signed" rejected "$(verified "$work/unsigned.msi")"
# A signed file changed after signing fails.
cp "$work/p12/Program Files/Tarvo/ankor.exe" "$work/changed.exe"
printf 'X' | dd of="$work/changed.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
check "a changed signed file is rejected" rejected "$(verified "$work/changed.exe")"

# The signed MSI under Wine's msiexec.
code=$(msiinfo export "$work/p12.msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
restore() {
  if [ -e "$folder/ankor.exe" ]; then wine msiexec /x "$code" /qn || true; fi
  rm -rf "$folder" "$data"
}
wine cmd /c exit 0  # creates the prefix on first use
restore
trap 'restore; rm -rf "$work" "$out_raw"' EXIT
trap 'exit 130' INT TERM
set +e
wine msiexec /i "$work/p12.msi" /qn
status=$?
set -e
check "the signed MSI installs" 0 "$status"
for name in $binaries; do
  check "installed $name is signed" ok "$(verified "$folder/$name")"
done
set +e
"$TARVO_RUNNER" "$folder/ankor.exe" system info version >"$out_raw"
set -e
check "the signed ankor.exe runs" "$(envelope success '"1.2.8"')" "$(tr -d '\r' <"$out_raw")"

finish
