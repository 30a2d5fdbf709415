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

# A host that stops reading early (its end of the pipe closed) or gives no standard
# output at all: the write fails, the run still ends with status 0.
ankor_command=("$(exe ankor)")
[ -n "${TARVO_RUNNER:-}" ] && ankor_command=("$TARVO_RUNNER" "${ankor_command[@]}")
set +e
(sleep 0.3; "${ankor_command[@]}" system info version) | true
closed_pipe=${PIPESTATUS[0]}
"${ankor_command[@]}" system info version >&-
closed_output=$?
set -e
check "exit status with the reader gone" 0 "$closed_pipe"
check "exit status without standard output" 0 "$closed_output"

if [ "$TARVO_PLATFORM" = win32 ]; then
  # Static runtime: nothing beyond Windows itself is imported; no console of its own.
  headers=$(i686-w64-mingw32-objdump -p "$(exe ankor)")
  check "no MinGW runtime DLL imported" "" \
    "$(grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' <<<"$headers" || true)"
  check "windowless subsystem" 1 "$(grep -c 'Subsystem.*Windows GUI' <<<"$headers")"
fi

finish
