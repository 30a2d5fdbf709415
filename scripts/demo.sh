#!/usr/bin/env bash
# The main job: builds both targets and shows what a host application sees from
# each deliverable, on Linux and under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >/dev/null
for preset in linux win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

linux() { build/linux/bin/"$@"; }
windows() { local program=$1; shift; build/win32/wine-run "build/win32/bin/$program.exe" "$@"; }

show() {  # show TARGET PROGRAM ARGS...
  local target=$1; shift
  printf '\n$ %s %s\n' "$([ "$target" = linux ] && echo "$1" || echo "wine $1.exe")" "${*:2}"
  "$target" "$@"
  printf '\n'
}

echo "== ankor: version and an unknown command, on Linux and under Wine"
for target in linux windows; do
  show "$target" ankor system info version
  show "$target" ankor system info release
done

# The parts read ankor's envelopes, kept in $out, with the tests' own readers.
source tests/envelope.sh

# Each deliverable adds its own part of the demonstration here, in name order.
for part in scripts/demo/*.sh; do
  [ -e "$part" ] || continue
  # shellcheck source=/dev/null
  source "$part"
done
