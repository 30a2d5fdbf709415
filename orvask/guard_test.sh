#!/usr/bin/env bash
# The real Orvask in a working directory someone else may write: the log never follows
# a link, holds only lines the program wrote, and has a fixed mode; special files where
# the log or the database's files go, and views in place of the tables, end the run at
# once; a run with rights (root; under Wine every run, whose token is elevated) refuses
# a directory, database or log that another user owns or may write. The parts for
# another user need root (CI runs as root). Wine shows a Unix file's owner and its
# "other" bits (as an Everyone entry) but not its group bits, and follows Unix links
# itself, so those cases are Linux-only.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"


stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\|(DEBUG| INFO| WARN|ERROR)\|'
updated=$(document 61465 "BlackList atualizada.")$'\n'
other=nobody
other_uid=$(id -u "$other" 2>/dev/null || echo 65534)
refused='|ERROR|Execucao com privilegios recusada: '
if [ "$TARVO_PLATFORM" = win32 ] || [ "$(id -u)" = 0 ]; then rights=yes; else rights=no; fi
# The reasons, as each platform words them: writable_by FILE MODE, owned_by_other FILE.
writable_by() {
  if [ "$TARVO_PLATFORM" = win32 ]; then echo "$1 pode ser alterado por Everyone."
  else echo "$1 pode ser alterado pelo grupo ou por outros usuarios (modo $2)."; fi
}
owned_by_other() {
  if [ "$TARVO_PLATFORM" = win32 ]; then echo "$1 pertence a outro usuario, nao a quem executa, a Administrators ou a SYSTEM."
  else echo "$1 pertence ao usuario $other_uid, nao a quem executa (0)."; fi
}

# orvask_bounded ARGS...: as orvask, but a run that does not end within 20 s is killed
# (status 124), so a blocked run fails the test instead of hanging it.
orvask_bounded() {
  pushd "$work" >/dev/null
  set +e
  if [ -n "${TARVO_RUNNER:-}" ]; then
    timeout 60 "$TARVO_RUNNER" "$(exe Orvask)" "$@" >"$out_raw" 2>"$work/.stderr"
  else
    timeout 20 "$(exe Orvask)" "$@" >"$out_raw" 2>"$work/.stderr"
  fi
  status=$?
  set -e
  out=$(tr -d '\r' <"$out_raw")
  sed -i 's/\r$//' "$work/.stderr"
  popd >/dev/null
}
# as_other ARGS...: the program run by the unprivileged user in $work.
as_other() {
  pushd "$work" >/dev/null
  set +e
  timeout 20 setpriv --reuid="$other" --regid="$(id -g "$other")" --clear-groups "$(exe Orvask)" "$@" >"$out_raw" 2>/dev/null
  status=$?
  set -e
  out=$(cat "$out_raw")
  popd >/dev/null
}

# ---- The log (any user) ------------------------------------------------------------
# Text from outside cannot forge a line: a trigger's message with line ends, arguments
# with control characters. Every line of the log starts with a stamp and a level.
fresh_dir
schema
sql "CREATE TRIGGER forge BEFORE INSERT ON TBBlackList BEGIN SELECT RAISE(ABORT, 'x
* * * * * root /tmp/payload
$(date '+%Y-%d-%m %H:%M:%S')|ERROR|forged'); END;"
orvask UpdateBlackList "$(b64 '{"content":[{"name":"A","productcode":"{A}","version":"1"}]}')"
check "a refused insert answers error" "error"$'\n' "$out"
check "every log line was written by the program" "$(log_text | wc -l)" "$(log_text | grep -cE "$stamp")"
check "the trigger's message stays on its line" 1 "$(log_text | grep -c 'BlackList nao atualizada: x\\x0a\* \* \* \* \* root /tmp/payload\\x0a.*|ERROR|forged$')"
orvask -debug Verify$'\n''cron line' $'\e]0;title\a'
check "arguments cannot forge lines" "$(log_text | wc -l)" "$(log_text | grep -cE "$stamp")"
check "arguments are escaped" '|DEBUG|Lista de argumentos: -debug|Verify\x0acron line|\x1b]0;title\x07|' "$(log_tails | sed -n 2p)"

if [ "$TARVO_PLATFORM" = linux ]; then
# Links are not followed: the target keeps its contents, a missing target is not created.
fresh_dir
printf 'root only\n' >"$orvask_root/target"
ln -s "$orvask_root/target" "$work/OrvaskApp.log"
ln -s "$orvask_root/created-by-link" "$work/Orvask.db"
orvask_bounded Version
if [ "$(id -u)" = 0 ]; then
  check "root: a linked log is refused" 255 "$status"
  check "root: the refusal names the link" "Execucao com privilegios recusada: OrvaskApp.log e um link simbolico." "$(cat "$work/.stderr")"
else
  check "a linked log: the run goes on without it" "Version!" "$out"
fi
check "a linked log leaves its target alone" "root only" "$(cat "$orvask_root/target")"
rm "$work/OrvaskApp.log"
ln -s "$orvask_root/created-by-link" "$work/OrvaskApp.log"
orvask_bounded Version
check "a log linked to a missing path creates nothing" no "$([ -e "$orvask_root/created-by-link" ] && echo yes || echo no)"
rm "$work/OrvaskApp.log"
# The database through a link: refused before SQLite could create a file elsewhere.
orvask_bounded VerifyMachine
check "a linked database: status" 255 "$status"
check "a linked database: ERROR line" "|ERROR|Erro generico na aplicacao.Orvask.db e um link simbolico." "$(log_tails | tail -n1)"
check "a linked database creates nothing" no "$([ -e "$orvask_root/created-by-link" ] && echo yes || echo no)"

# A fixed mode whatever the umask.
fresh_dir
(umask 000; cd "$work" && "$(exe Orvask)" Version >/dev/null)
check "log mode under umask 000" 644 "$(stat -c %a "$work/OrvaskApp.log")"
fi

# ---- Runs that never end -------------------------------------------------------------
# A FIFO at the log: the run goes on without a log (with rights it is refused).
fresh_dir
mkfifo "$work/OrvaskApp.log"
chmod 0600 "$work/OrvaskApp.log"
if [ "$rights" = yes ]; then
  orvask_bounded Version
  check "with rights: a FIFO log is refused at once" 255 "$status"
  check "with rights: the refusal says why" "Execucao com privilegios recusada: OrvaskApp.log nao e um arquivo regular." "$(cat "$work/.stderr")"
  if [ "$TARVO_PLATFORM" = linux ]; then
    chmod 0711 "$orvask_root"
    chown "$other" "$work" "$work/OrvaskApp.log"
    as_other Version
    check "a FIFO log does not block the run" "Version!" "$out"
  fi
else
  orvask_bounded Version
  check "a FIFO log does not block the run" "Version!" "$out"
fi
# A FIFO at the database or its journal, a directory at the write-ahead log.
for name in Orvask.db Orvask.db-journal Orvask.db-wal; do
  fresh_dir
  [ "$name" = Orvask.db ] || schema
  rm -rf "$work/$name"
  mkfifo "$work/$name"
  orvask_bounded VerifyMachine
  check "FIFO at $name: status" 255 "$status"
  check "FIFO at $name: no verdict" "" "$out"
  check "FIFO at $name: ERROR line" "|ERROR|Erro generico na aplicacao.$name nao e um arquivo regular." "$(log_tails | tail -n1)"
done
# A view (one without end) or a table without the columns the statements use.
while IFS='|' read -r what statement message; do
  fresh_dir
  schema
  sql "$statement"
  for args in VerifyMachine "UpdateBlackList $(b64 '{"content":[{"name":"A","productcode":"{A}"}]}')"; do
    # shellcheck disable=SC2086
    orvask_bounded $args
    check "$what, ${args%% *}: status" 255 "$status"
    check "$what, ${args%% *}: ERROR line" "|ERROR|Erro generico na aplicacao.Orvask.db: $message" "$(log_tails | tail -n1)"
  done
done <<'CASES'
self-referring view as black list|DROP TABLE TBBlackList; CREATE VIEW TBBlackList AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i AS Name, i AS Version, i AS ProductCode, i AS Path, i AS Date FROM n;|TBBlackList nao e uma tabela.
view as white list|DROP TABLE TBWhiteList; CREATE VIEW TBWhiteList AS SELECT * FROM TBBlackList;|TBWhiteList nao e uma tabela.
black list without ProductCode|DROP TABLE TBBlackList; CREATE TABLE TBBlackList (Name, Version, Path, Date);|TBBlackList nao tem a coluna ProductCode.
CASES

# ---- A run with rights ---------------------------------------------------------------
if [ "$rights" != yes ]; then
  finish || exit 1
  skip "the rule for a run with rights applies to root only (the checks above passed)"
fi
id "$other" >/dev/null 2>&1 || { finish || exit 1; skip "no user '$other' to own files"; }
chmod 0711 "$orvask_root"  # the other user reaches the cases it is given, nothing else

# The directory and the files a host sets up pass: the program works as usual.
fresh_dir
schema
orvask UpdateBlackList "$(b64 '{"content":[{"name":"A","productcode":"{A}","version":"1"}]}')"
check "root in its own directory" "$updated" "$out"

# Each place that someone else owns or may write ends the run before any work: status
# 255, nothing printed, the database unchanged, an ERROR line saying which and why.
while IFS='|' read -r what setup message; do
  [ "$message" = linux-only ] && continue
  [[ "$setup" == *chown* ]] && [ "$(id -u)" != 0 ] && continue  # giving files away needs root
  fresh_dir
  schema
  chmod 0755 "$work"
  sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('x', '{X}');"
  (cd "$work" && eval "$setup")
  before=$(sql "SELECT COUNT(*) FROM TBBlackList; SELECT COUNT(*) FROM TBWhiteList;")
  orvask_bounded VerifyMachine
  check "$what: status" 255 "$status"
  check "$what: nothing printed" "" "$out"
  if [ -s "$work/.stderr" ]; then  # the log itself was refused
    check "$what: ERROR on standard error" "${refused#|ERROR|}$message" "$(cat "$work/.stderr")"
  else
    check "$what: ERROR line" "$refused$message" "$(log_tails)"
  fi
  check "$what: database unchanged" "$before" "$(sql "SELECT COUNT(*) FROM TBBlackList; SELECT COUNT(*) FROM TBWhiteList;")"
done <<CASES
directory writable by all|chmod 0777 .|$(writable_by "O diretorio de trabalho" 0777)
sticky directory writable by all|chmod 1777 .|$(writable_by "O diretorio de trabalho" 1777)
directory writable by the group|chmod 0775 .|$([ "$TARVO_PLATFORM" = linux ] && writable_by "O diretorio de trabalho" 0775 || echo linux-only)
directory of another user|chown $other .|$(owned_by_other "O diretorio de trabalho")
database writable by all|chmod 0666 Orvask.db|$(writable_by Orvask.db 0666)
database of another user|chown $other Orvask.db|$(owned_by_other Orvask.db)
journal of another user|touch Orvask.db-journal; chown $other Orvask.db-journal|$(owned_by_other Orvask.db-journal)
log writable by the group|touch OrvaskApp.log; chmod 0664 OrvaskApp.log|$([ "$TARVO_PLATFORM" = linux ] && writable_by OrvaskApp.log 0664 || echo linux-only)
log of another user|touch OrvaskApp.log; chown $other OrvaskApp.log|$(owned_by_other OrvaskApp.log)
CASES
[ "$TARVO_PLATFORM" = linux ] || { finish; exit; }

# The measured attack: another user's writable database made 61464 into 0. Refused.
fresh_dir
schema
chmod 0755 "$work"
sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('bash', 'bash:$(dpkg --print-architecture)');"
orvask VerifyMachine
check "black-listed software found" 61464 "$(verdict_id)"
chmod 0666 "$work/Orvask.db"
as_other_sql() { setpriv --reuid="$other" --regid="$(id -g "$other")" --clear-groups sqlite3 "$work/Orvask.db" "$@"; }
chmod 0777 "$work"  # SQLite's journal goes beside the file
as_other_sql "DELETE FROM TBBlackList;" && as_other_sql "INSERT INTO TBBlackList (Name, ProductCode) VALUES ('x', '{X}');"
chmod 0755 "$work"
orvask_bounded VerifyMachine
check "a database another user changed is not trusted" 255 "$status"
check "no verdict from it" "" "$out"

finish
