#!/usr/bin/env bash
# The real ankor program: exact envelope bytes, exit status 0, nothing printed for
# short command lines, fixed error texts. Runs on Linux and under Wine.
source "$TARVO_SOURCE_DIR/tests/lib.sh"

run_program ankor system info version
check "version exit status" 0 "$status"
check "version envelope" $'{\n    "success": "1.2.8"\n}' "$out"
if [ "$TARVO_PLATFORM" = win32 ]; then
  check "version bytes (CR LF)" 28 "$(wc -c <"$out_raw")"
else
  check "version bytes" 26 "$(wc -c <"$out_raw")"
fi

for args in "" "system" "system info"; do
  # shellcheck disable=SC2086
  run_program ankor $args
  check "no output for '$args'" "" "$out"
  check "exit status for '$args'" 0 "$status"
done

while IFS='|' read -r expected words; do
  # shellcheck disable=SC2086
  run_program ankor $words
  check "$words" "$(printf '{\n    "error": %s\n}' "$expected")" "$out"
  check "exit status of $words" 0 "$status"
done <<'CASES'
"Tipo de comando nao encontrado"|System info version
"Tipo de sub-comando nao encontrado"|system Info version
"Tipo de sub-comando nao encontrado"|system list version
"Comando nao encontrado"|system info Version
"Erro desconhecido."|capi list countContainer Prov
"Erro desconhecido."|pkcs11 list tokens
"Erro desconhecido."|capi repo createKeyPair P 24 C false false 1024 x Ana
CASES

# Standard output that cannot take the envelope: a pipe whose reader is gone (the host
# stopped reading), a full device, closed. The write fails; the run still ends with 0.
# Under Wine the program is started without the runner, which would give it a file.
direct() {
  if [ "$TARVO_PLATFORM" = win32 ]; then
    WINEPREFIX=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix} WINEARCH=win64 WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wine "$(exe ankor)" "$@"
  else
    "$(exe ankor)" "$@"
  fi
}
fifo_dir=$(mktemp -d)
for target in pipe full closed; do
  set +e
  case $target in
    closed) direct system info version >&- ;;
    full) direct system info version >/dev/full ;;
    pipe)
      # Open the fifo's both ends, then drop the reader: every write fails with EPIPE.
      mkfifo "$fifo_dir/$target"
      exec {rw}<>"$fifo_dir/$target" {w}>"$fifo_dir/$target" {rw}<&-
      direct system info version >&"$w"
      ;;
  esac
  status=$?
  [ "$target" = pipe ] && exec {w}>&-
  set -e
  check "exit status with standard output $target" 0 "$status"
done
rm -rf "$fifo_dir"

if [ "$TARVO_PLATFORM" = win32 ]; then
  # Static runtime: nothing beyond Windows itself is imported; no console of its own.
  headers=$(i686-w64-mingw32-objdump -p "$(exe ankor)")
  check "no MinGW runtime DLL imported" "" \
    "$(grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' <<<"$headers" || true)"
  check "windowless subsystem" 1 "$(grep -c 'Subsystem.*Windows GUI' <<<"$headers")"
fi

finish
