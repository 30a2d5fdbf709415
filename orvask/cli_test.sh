#!/usr/bin/env bash
# The real Orvask program on Linux and under Wine: command line, exit statuses, the log,
# the verdict documents that do not depend on the machine, and UpdateBlackList input.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"

start='|DEBUG|Programa Orvask iniciando.'
unrecognised='|ERROR|Argumento(s) nao reconhecido(s).'

# Command words in any letter case; options before the command word.
fresh_dir
for args in "Version" "version" "VERSION" "-debug Version" "-DEBUG -Debug vErSiOn extra words"; do
  # shellcheck disable=SC2086
  orvask $args
  check "'$args' output" "Version!"$'\n' "$out"
  check "'$args' status" 0 "$status"
done
check "'-DEBUG -Debug vErSiOn extra words' log" "$start
|DEBUG|Lista de argumentos: -DEBUG|-Debug|vErSiOn|extra|words|" "$(log_tails)"

# Unacceptable command lines: -1 (255), nothing printed, the ERROR line alone.
for args in "" "-x VerifyMachine" "VerifyMachine -x" "Version -" "-debugx Version"; do
  fresh_dir
  # shellcheck disable=SC2086
  orvask $args
  check "'$args' status" 255 "$status"
  check "'$args' output" "" "$out"
  check "'$args' log" "$unrecognised" "$(log_tails)"
done

# Unknown command words, and -debug after the command word: status 0, the first
# argument appended to the ERROR line.
while IFS='|' read -r args first; do
  fresh_dir
  # shellcheck disable=SC2086
  orvask $args
  check "'$args' status" 0 "$status"
  check "'$args' output" "" "$out"
  check "'$args' last log line" "$unrecognised$first" "$(log_tails | tail -n1)"
  check "'$args' log lines" 3 "$(log_text | wc -l)"
done <<'CASES'
VerifyMachine -debug|VerifyMachine
-debug|-debug
Verify|Verify
-debug UpdateBlackListX e30=|-debug
CASES

# Log layout: year-day-month timestamp, level in five characters between bars.
fresh_dir
before=$(date '+%Y-%d-%m %H:%M')
orvask Version
after=$(date '+%Y-%d-%m %H:%M')
first_line=$(log_text | head -n1)
stamp=${first_line:0:16}
if [ "$stamp" != "$before" ]; then stamp_expected=$after; else stamp_expected=$before; fi
check "timestamp is year-day-month" "$stamp_expected" "$stamp"
check "timestamp layout" 1 "$(log_text | grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\|DEBUG\|Programa Orvask iniciando\.$')"
# A second run leaves only its own lines.
orvask version
check "second run replaces the log" "$start
|DEBUG|Lista de argumentos: version|" "$(log_tails)"

# InitDB does no database work.
fresh_dir
orvask InitDB
check "InitDB output" "" "$out"
check "InitDB status" 0 "$status"
check "InitDB creates no database" no "$([ -e "$work/Orvask.db" ] && echo yes || echo no)"

# Without a database file, a verification creates an empty one and finds no black list.
fresh_dir
orvask -debug VerifyMachine
check "no database: verdict" "$(document 61461 "BlackList vazia.")"$'\n' "$out"
check "no database: status" 0 "$status"
check "no database: file created" yes "$([ -f "$work/Orvask.db" ] && echo yes || echo no)"
# A black list that cannot be read counts as empty.
fresh_dir
schema
sql "DROP TABLE TBBlackList;"
orvask VerifyMachine
check "unreadable black list: verdict" 61461 "$(verdict_id)"

# UpdateBlackList: entries are added in product-code order, first of a code wins, values intact.
fresh_dir
schema
updated=$(document 61465 "BlackList atualizada.")$'\n'
orvask UpdateBlackList "$(b64 '{"content":[{"name":"O'\''Brien Tools","productcode":"{B}","version":"2.0"},{"name":"Alpha","productcode":"{A}","version":"1"},{"name":"Dup","productcode":"{B}","version":"9"}]}')"
check "update: document" "$updated" "$out"
check "update: status" 0 "$status"
check "update: rows" "Alpha|1|{A}||
O'Brien Tools|2.0|{B}||" "$(sql "SELECT Name, Version, ProductCode, Path, Date FROM TBBlackList ORDER BY IDBlackList")"
check "update: empty Path and Date are empty texts" "0" "$(sql "SELECT COUNT(*) FROM TBBlackList WHERE Path IS NULL OR Date IS NULL")"

# Inputs that end in 61465 without adding anything.
while IFS= read -r json; do
  orvask UpdateBlackList "$(b64 "$json")"
  check "update '$json': document" "$updated" "$out"
done <<'CASES'
{"content":[]}
{"other":[{"name":"X","productcode":"{X}"}]}
{"content":[{"productcode":"{X}","name":""}]}
null
CASES
check "nothing added by empty inputs" 2 "$(sql "SELECT COUNT(*) FROM TBBlackList")"

# Inputs that cannot be read: "error", status 0, nothing added. Includes base64 cut at a
# foreign character, and the shapes that cannot hold a list.
bad_inputs=(
  '!!!!'
  "$(b64 'not json at all')"
  "$(b64 '{"content":[{"name":"X","productcode":"{X}"}]}' | cut -c1-10)*$(b64 '{}')"
  "$(b64 '[{"name":"X","productcode":"{X}"}]')"
  "$(b64 '"text"')"
  "$(b64 '{"content":{"name":"X","productcode":"{X}"}}')"
  "$(b64 '{"content":[{"name":["X"],"productcode":"{X}"}]}')"
  "$(b64 '{"content":[{"name":"X","productcode":{"a":1}}]}')"
  "$(b64 '{"content":[7]}')"
  "$(b64 "{\"content\":$(printf '%.0s[' {1..3000})")"
)
for input in "${bad_inputs[@]}"; do
  orvask UpdateBlackList "$input"
  check "update '$input': output" "error"$'\n' "$out"
  check "update '$input': status" 0 "$status"
done
orvask UpdateBlackList
check "update without input: output" "error"$'\n' "$out"
check "nothing added by unreadable inputs" 2 "$(sql "SELECT COUNT(*) FROM TBBlackList")"

# Standard output that cannot take the answer: closed, a full device, a pipe whose reader
# is gone. The run fails (255) with an ERROR line and the log never becomes standard
# output (the white list side is in drive_linux_test.sh and the unit tests). Under
# Wine the program is started without the runner, which would give it a file instead.
direct() {
  if [ "$TARVO_PLATFORM" = win32 ]; then
    WINEPREFIX=${TARVO_WINEPREFIX:-$TARVO_BUILD_DIR/wineprefix} WINEARCH=win64 WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wine "$(exe Orvask)" "$@"
  else
    "$(exe Orvask)" "$@"
  fi
}
# orvask_to TARGET ARGS...: runs the program in $work with standard output closed,
# on /dev/full, or on a pipe without a reader; its status goes to $status.
orvask_to() {
  local target=$1 rw w
  shift
  pushd "$work" >/dev/null
  set +e
  case $target in
    closed) direct "$@" >&- ;;
    full) direct "$@" >/dev/full ;;
    pipe)
      # Open the fifo's both ends, then drop the reader: every write fails with EPIPE.
      rm -f "$orvask_root/fifo"
      mkfifo "$orvask_root/fifo"
      exec {rw}<>"$orvask_root/fifo" {w}>"$orvask_root/fifo" {rw}<&-
      direct "$@" >&"$w"
      ;;
  esac
  status=$?
  [ "$target" = pipe ] && exec {w}>&-
  set -e
  popd >/dev/null
}
failed_output='|ERROR|Erro generico na aplicacao.Falha ao escrever na saida padrao.'
for target in closed full pipe; do
  fresh_dir
  orvask_to "$target" Version
  check "Version, output $target: status" 255 "$status"
  if [ "$target" = closed ] && [ "$TARVO_PLATFORM" = linux ]; then
    check "Version, output closed: start-up refused" '|ERROR|Erro Fatal: GetModuleHandle falhou.' "$(log_tails)"
  else
    # Wine hands a closed descriptor to the program as a handle that fails every write.
    check "Version, output $target: ERROR line" "$failed_output" "$(log_tails | tail -n1)"
  fi
  schema
  sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('not installed', '{NOT-INSTALLED}');"
  orvask_to "$target" VerifyMachine
  check "VerifyMachine, output $target: status" 255 "$status"
  check "VerifyMachine, output $target: no document in the log" 0 "$(grep -c '"success"' "$work/OrvaskApp.log" || true)"
  if [ "$target" != closed ] || [ "$TARVO_PLATFORM" = win32 ]; then
    check "VerifyMachine, output $target: ERROR line" "$failed_output" "$(log_tails | tail -n1)"
  fi
done

if [ "$TARVO_PLATFORM" = linux ]; then
  # Black-listed installed software (from the dpkg database) is reported before the
  # drive is looked at; the product name with an apostrophe comes back unchanged.
  arch=$(dpkg --print-architecture)
  bash_version=$(dpkg-query -W -f='${Version}' bash)
  orvask UpdateBlackList "$(b64 '{"content":[{"name":"bash","productcode":"bash:'"$arch"'","version":"x"}]}')"
  orvask VerifyMachine
  check "black-listed dpkg package" 61464 "$(verdict_id)"
  check "listed product" "1" "$(grep -c "\"uuid\" : \"bash:$arch\"" <<<"$out")"
  check "only installed products listed" "0" "$(grep -c '{A}\|{B}' <<<"$out")"
  check "version is not part of the document" "0" "$(grep -c "$bash_version" <<<"$out")"
fi

finish
