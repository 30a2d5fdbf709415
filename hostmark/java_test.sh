#!/usr/bin/env bash
# The Java binding with the system JDK against the real Linux library. The expected
# plain identifier is computed here, independently of the library, from the same
# world-readable sources (sysfs disk serials, /etc/machine-id). With the argument
# "nobody", only the same identifier for user nobody (skipped unless run as root).
# In the sanitized build the JVM loads an ASan-instrumented library: the sanitizer
# runtimes are preloaded, the JVM keeps its own SIGSEGV handling (handle_segv=0), and
# leak checking is off because LeakSanitizer cannot judge the JVM's allocations. Every
# other finding still halts the test.
source "$TARVO_SOURCE_DIR/tests/lib.sh"

readable() { [ -f "$1" ] && [ "$(stat -L -c %A "$1" | cut -c8)" = r ]; }
serial_of() {
  local d=$1 f
  for f in "$d/serial" "$d/device/serial"; do
    if readable "$f"; then cat "$f"; return; fi
  done
  f="$d/device/vpd_pg80"
  if readable "$f"; then
    local len; len=$(od -An -tu1 -j2 -N2 "$f" | awk '{print $1 * 256 + $2}')
    tail -c +5 "$f" | head -c "$len"
  fi
}
text=""
for name in $(ls /sys/block | LC_ALL=C sort); do
  d=/sys/block/$name
  case $name in loop* | ram* | zram* | dm-* | md* | nbd*) continue ;; esac
  [ -e "$d/device" ] || continue
  [ "$(cat "$d/removable" 2>/dev/null)" = 0 ] || continue
  [ "$(cat "$d/hidden" 2>/dev/null)" = 1 ] && continue
  text+=$(serial_of "$d")
done
text+=$(head -n1 /etc/machine-id)
digest=$(printf '%s' "$text" | sha1sum | cut -c1-40 | tr a-f A-F)
expected="${digest:0:8}-${digest:8:8}-${digest:16:8}-${digest:24:8}-${digest:32:8}"
echo "identity text: $text"

if [ "${TARVO_SANITIZE:-OFF}" = ON ]; then
  export LD_PRELOAD="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libubsan.so)"
  export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0:handle_segv=0:strict_string_checks=1
fi

# Every local user gets the same identifier: as root, the reference program again as
# user nobody.
if [ "${1:-}" = nobody ]; then
  as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
  [ "$(id -u)" = 0 ] || skip "not run as root, so no other user can be taken on"
  command -v setpriv >/dev/null || skip "setpriv is not installed"
  as_nobody test -r "$TARVO_BIN/libTarvoHostmark_V_1_0_1_0.so" -a -r "$HOSTMARK_CLASSES" \
    2>/dev/null || skip "user nobody cannot read the build"
  set +e
  shown=$(as_nobody "$JAVA" -Djava.library.path="$TARVO_BIN" -cp "$HOSTMARK_CLASSES" \
    org.tarvo.hostmark.Hostmark 2>&1)
  set -e
  check "identifier as user nobody" "$expected" "$shown"
  finish
  exit
fi

set +e
"$JAVA" -Xcheck:jni -Djava.library.path="$TARVO_BIN" -cp "$HOSTMARK_CLASSES" \
  org.tarvo.hostmark.HostmarkTest "$expected" "$HOSTMARK_SEAM" >"$out_raw" 2>&1
status=$?
set -e
cat "$out_raw"
check "Java test program" 0 "$status"
check "no JNI warnings" 0 "$(grep -c 'WARNING in native method' "$out_raw" || true)"

# The reference program of Hostmark.java prints the same identifier.
set +e
shown=$("$JAVA" -Djava.library.path="$TARVO_BIN" -cp "$HOSTMARK_CLASSES" org.tarvo.hostmark.Hostmark 2>&1)
set -e
check "Hostmark main" "$expected" "$shown"

finish
