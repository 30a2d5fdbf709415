# Helpers for the scripts that start a middleware's daemons themselves. Source after
# tests/lib.sh.

# stop_pid PID: SIGTERM, then SIGKILL after five seconds; every wait bounded. Works for
# a child of the script and for a daemon that forked away from it.
stop_pid() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; fails after
# SECONDS.
wait_for() {
  local tries=$(( $1 * 10 )) i
  shift
  for i in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# free_port_pair FIRST LAST: sets $port to the first even-stepped port from FIRST to LAST
# for which neither it nor the next one has a listener; empty when there is none.
free_port_pair() {
  local candidate
  port=""
  for candidate in $(seq "$1" 2 "$2"); do
    if [ -z "$(ss -ltnH "( sport = :$candidate or sport = :$((candidate + 1)) )")" ]; then
      port=$candidate
      return 0
    fi
  done
}

# junk_certificates_refused LIST_CODE CODE SERIAL ID PIN JUNK...: each JUNK (Base64) is
# refused by the import into the token CODE SERIAL, and the certificates listed by
# LIST_CODE stay as many as before.
junk_certificates_refused() {
  local list_code=$1 code=$2 serial=$3 id=$4 pin=$5 junk before
  shift 5
  ankor pkcs11 list certificates "$list_code"
  before=$(member thumbprint | grep -c .)
  for junk in "$@"; do
    ankor pkcs11 repo importCertificate "$code" "$serial" "$id" Junk "$pin" "$junk"
    check "junk '${junk:0:12}' refused" \
      "$(envelope error '"Erro na importação do certificado: o certificado nao e um X.509 em DER"')" "$out"
  done
  ankor pkcs11 list certificates "$list_code"
  check "no junk stored" "$before" "$(member thumbprint | grep -c .)"
}

# asan_resident [--full-stacks] MODULE...: in an ASan build, sets $preload so that the
# middleware's libraries stay loaded until exit (LeakSanitizer can then name their
# frames); testing/lsan.supp names only middleware libraries. --full-stacks unwinds
# every allocation the slow way, which libraries built without frame pointers need
# for a leak to be attributed to them (it doubles the run time of malloc-heavy ones).
preload=""
asan_resident() {
  local full=""
  if [ "$1" = --full-stacks ]; then full=1; shift; fi
  if [[ "$(ldd "$TARVO_BIN/ankor")" == *libasan* ]]; then
    preload="$(gcc -print-file-name=libasan.so)$(printf ':%s' "$@")"
    export LSAN_OPTIONS="suppressions=$TARVO_SOURCE_DIR/ankor/pkcs11/testing/lsan.supp:print_suppressions=0"
    [ -z "$full" ] || export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
  fi
}
