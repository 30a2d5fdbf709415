#!/usr/bin/env bash
# The library's export table holds exactly the two C names and the four JNI names:
# undecorated standard-call C names and decorated JNI names in the Windows DLL (MinGW
# objdump), plain names on Linux with everything else hidden (nm -D).
source "$TARVO_SOURCE_DIR/tests/lib.sh"

jni=Java_org_tarvo_hostmark_Hostmark_
if [ "$TARVO_PLATFORM" = win32 ]; then
  dll="$TARVO_BIN/TarvoHostmark_V_1_0_1_0.dll"
  table=$(i686-w64-mingw32-objdump -p "$dll")
  actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" \
    | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
  expected=$(printf '%s\n' "_${jni}retrieveMachineID@12" "_${jni}retrieveMachineIDOT@16" \
    "_${jni}retrieveMachineIDOTV1010@16" "_${jni}retrieveMachineIDV1010@12" \
    retrieveMachineID retrieveMachineIDOT | sort)
  check "DLL export names" "$expected" "$actual"
  check "DLL name in the export directory" 1 \
    "$(grep -c 'Name .*TarvoHostmark_V_1_0_1_0.dll' <<<"$table" || true)"
  # The C functions are standard-call: the undecorated names point at the @8 / @12 code.
  imports=$(sed -n '/DLL Name:/p' <<<"$table" | awk '{print $3}' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  check "DLL imports only system libraries" "advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll " "$imports"
else
  so="$TARVO_BIN/libTarvoHostmark_V_1_0_1_0.so"
  actual=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TtWw]$/ {print $3}' | sort)
  expected=$(printf '%s\n' "${jni}retrieveMachineID" "${jni}retrieveMachineIDOT" \
    "${jni}retrieveMachineIDOTV1010" "${jni}retrieveMachineIDV1010" \
    retrieveMachineID retrieveMachineIDOT | sort)
  check "shared object's exported functions" "$expected" "$actual"
fi

finish
