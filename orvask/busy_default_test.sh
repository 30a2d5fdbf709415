#!/usr/bin/env bash
# The bound of the busy wait with the real setting (the unit tests shorten it): another
# process holds the write lock (BEGIN IMMEDIATE in the sqlite3 shell) past the bound, and
# UpdateBlackList gives up after 30 s, not later and not when the lock goes, answering
# "error" and storing nothing. The holder lets go after 45 s at the latest, so a run
# that waits past the bound ends and is seen storing its entry.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
source "$TARVO_SOURCE_DIR/orvask/testing/e2e_lib.sh"

fresh_dir
schema
mkfifo "$work/holder.in"
sqlite3 "$work/Orvask.db" <"$work/holder.in" >"$work/holder.out" 2>&1 &
holder=$!
exec 3>"$work/holder.in"
echo "BEGIN IMMEDIATE; INSERT INTO TBBlackList (Name, ProductCode) VALUES ('holder', '{H}'); SELECT 'held';" >&3
for ((i = 0; i < 100; i++)); do
  grep -qx held "$work/holder.out" && break
  sleep 0.1
done
check "the shell holds the write lock" held "$(cat "$work/holder.out")"

input=$(b64 '{"content":[{"name":"entry","productcode":"{E}","version":"1"}]}')
start=$(date +%s%N)
# The run must not hold the holder's input open: Wine's helper processes would keep it
# (and the shell's lock) for as long as they live.
(exec 3>&-; orvask UpdateBlackList "$input"; printf '%s' "$out" >"$work/answer") &
run=$!
i=0
while [ "$i" -lt 450 ] && kill -0 "$run" 2>/dev/null; do sleep 0.1; i=$((i + 1)); done
printf 'ROLLBACK;\n.quit\n' >&3  # a dot command only at the start of a line
exec 3>&-
wait "$run" || true
end=$(date +%s%N)
wait "$holder" || true
elapsed_ms=$(((end - start) / 1000000))
echo "UpdateBlackList ended after $elapsed_ms ms"
check "answer while the lock is held" "error" "$(tr -d '\n' <"$work/answer")"
check "gave up after 30 s and before 40 s" yes "$([ "$elapsed_ms" -ge 30000 ] && [ "$elapsed_ms" -lt 40000 ] && echo yes || echo "no: $elapsed_ms ms")"
check "nothing stored" "" "$(sql "SELECT ProductCode FROM TBBlackList")"
check "the log says why" "|ERROR|BlackList nao atualizada: database is locked" "$(log_tails | tail -n1)"
finish
