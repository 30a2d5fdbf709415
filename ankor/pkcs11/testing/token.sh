# Helpers for the PKCS#11 scripts on Linux: a SoftHSM2 token of the test's own in a
# temporary directory, and the real ankor run against it. Source after tests/lib.sh.
SOFTHSM=/usr/lib/softhsm/libsofthsm2.so
PIN=1234
work=$(mktemp -d)
trap 'rm -rf "$work" "$out_raw"' EXIT

# make_token LABEL: a fresh SoftHSM2 store with one initialised token; sets $serial.
make_token() {
  export SOFTHSM2_CONF="$work/softhsm2.conf"
  mkdir -p "$work/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$work/tokens" >"$SOFTHSM2_CONF"
  softhsm2-util --init-token --free --label "$1" --pin "$PIN" --so-pin 87654321 >/dev/null
  serial=$(softhsm2-util --show-slots | awk '/Serial number:/ && $3 != "" {print $3; exit}')
}

# An ASan build cannot name the frames of an uninstrumented module that it unloaded
# before exit; keeping SoftHSM2 resident (dlclose then only drops a reference) lets
# LeakSanitizer attribute anything inside it, and lsan.supp names only libsofthsm2.
preload=""
# The listing is taken whole first: under pipefail, grep -q ending early could fail ldd.
if [[ "$(ldd "$TARVO_BIN/ankor")" == *libasan* ]]; then
  preload="$(gcc -print-file-name=libasan.so):$SOFTHSM"
  export LSAN_OPTIONS="suppressions=$TARVO_SOURCE_DIR/ankor/pkcs11/testing/lsan.supp"
fi

ankor() { LD_PRELOAD=$preload run_program ankor "$@"; }

