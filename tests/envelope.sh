# Readers of the ankor envelope held in $out (one JSON object, "success" or "error"),
# for the test scripts (tests/lib.sh sources this file) and the demo.

# envelope MEMBER JSON-VALUE: the exact envelope ankor prints with that one member.
envelope() { printf '{\n    "%s": %s\n}' "$1" "$2"; }

# success_text: the string under "success", its JSON escapes decoded (empty when there is none).
success_text() {
  python3 -c 'import json, sys
try:
    value = json.loads(sys.stdin.read()).get("success")
except ValueError:
    value = None
sys.stdout.write(value if isinstance(value, str) else "")' <<<"$out"
}

# result: the string under "success", or "ERROR: " followed by the error.
result() {
  python3 -c 'import json, sys
d = json.loads(sys.stdin.read())
sys.stdout.write(d["success"] if "success" in d else "ERROR: %s" % d["error"])' <<<"$out"
}

# member NAME: the values of a member in the records of $out, one per line.
member() { sed -nE "s/^ *\"$1\": (\"(.*)\"|([^\",]*)),?\$/\\2\\3/p" <<<"$out"; }
