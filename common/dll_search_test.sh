#!/usr/bin/env bash
# Under Wine: a DLL planted in the working directory is never loaded by name once a
# program of the toolset has started: the probe shows the search before and after the
# call itself and after a call of the identity library's export; ankor loads a vendor
# module whose dependency sits only in the working directory without that dependency
# (the module fails to load), and with it when it is installed beside the module.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
[ "$TARVO_PLATFORM" = win32 ] || skip "Windows DLL search (Linux never searches the working directory)"
work=$(mktemp -d)
prefix="$TARVO_BUILD_DIR/wineprefix"
vendor="$prefix/drive_c/Program Files (x86)/Oberthur Technologies/AWP/DLLs"
trap 'rm -rf "$work" "$out_raw" "$prefix/drive_c/Program Files (x86)/Oberthur Technologies"' EXIT
dependency="$TARVO_BUILD_DIR/tests/ankor_p11_dependency.dll"
cp "$dependency" "$work/planted_before.dll"
cp "$dependency" "$work/planted_after.dll"

probe() {
  pushd "$work" >/dev/null
  run_program_at "$TARVO_BUILD_DIR/tests/dll_search_probe.exe" "$@"
  popd >/dev/null
}
# run_program_at PATH ARGS...: as run_program, for a program outside the deliverables.
run_program_at() {
  set +e
  "$TARVO_RUNNER" "$@" >"$out_raw"
  status=$?
  set -e
  out=$(tr -d '\r' <"$out_raw")
}

probe none
check "without the call the planted DLL is loaded (the probe can see it)" "loaded" "$out"
check "probe none: status" 0 "$status"
probe function
check "after the call the working directory is not searched" "not loaded" "$out"
check "probe function: status" 0 "$status"
probe library "$(winepath -w "$TARVO_BIN/TarvoHostmark_V_1_0_1_0.dll" 2>/dev/null)"
check "after the identity library's export the working directory is not searched" "not loaded" "$out"
check "probe library: status" 0 "$status"

# ankor and a vendor module (OB's location) that imports ankor_p11_dependency.dll.
run_program ankor system info version  # the prefix exists from here on
mkdir -p "$vendor"
cp "$TARVO_BUILD_DIR/tests/ankor_p11_testmodule_dependent.dll" "$vendor/OcsCryptolib_P11.dll"
cp "$dependency" "$work/ankor_p11_dependency.dll"
pushd "$work" >/dev/null
run_program ankor pkcs11 list tokens OB
popd >/dev/null
check "a dependency only in the working directory is not loaded" 0 "$(grep -c '"serial": "0A1B2C3D"' <<<"$out" || true)"
rm "$work/ankor_p11_dependency.dll"
cp "$dependency" "$vendor/ankor_p11_dependency.dll"
pushd "$work" >/dev/null
run_program ankor pkcs11 list tokens OB
popd >/dev/null
check "a dependency beside the module is loaded" 1 "$(grep -c '"serial": "0A1B2C3D"' <<<"$out" || true)"

finish
