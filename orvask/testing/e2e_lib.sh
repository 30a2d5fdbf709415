# Helpers of the Orvask end-to-end scripts (sourced after tests/lib.sh).

# A fresh working directory per case; removed at exit.
orvask_root=$(mktemp -d)
trap 'rm -rf "$orvask_root" "$out_raw"' EXIT
fresh_dir() {
  work=$(mktemp -d "$orvask_root/case.XXXXXX")
}

# orvask ARGS... : runs the program in $work (see run_program for $out, $status).
orvask() {
  pushd "$work" >/dev/null
  run_program Orvask "$@"
  popd >/dev/null
}

schema() {  # creates the two tables in $work/Orvask.db, from the schema the packages ship
  sqlite3 "$work/Orvask.db" <"$TARVO_SOURCE_DIR/orvask/schema.sql"
}

sql() { sqlite3 "$work/Orvask.db" "$@"; }

b64() { printf '%s' "$1" | base64 -w0; }

# The log without CR, and its lines without the 19-character timestamp.
log_text() { tr -d '\r' <"$work/OrvaskApp.log"; }
log_tails() { log_text | cut -c20-; }

# verdict_id: the "id" of the document in $out.
verdict_id() { sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' <<<"$out"; }

# document ID MESSAGE: the document without a product list.
document() {
  printf '{\n\t"success" : \n\t{\n\t\t"error" : \n\t\t{\n\t\t\t"id" : %s,\n\t\t\t"message" : "%s"\n\t\t}\n\t}\n}\n' "$1" "$2"
}
