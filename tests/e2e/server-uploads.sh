#!/usr/bin/env bash
# curl uploads through a real web server to mpread-upload, as the demo runs
# it: several awkward files in one form, a form of 1,000 fields, 10,000
# files of one name; then upload folders the handler must refuse.
#   server-uploads.sh busybox|lighttpd WORK_DIR HANDLER
. "$(dirname "$0")/lib.sh"
server=$1
work=$(new_work_dir "$2")
HANDLER=$3
require_tools curl jq node sha256sum "$server"
trap stop_demo EXIT

# The server's side (web root, upload folder) apart from the client's.
files=$work/files
srv=$work/srv
uploads=$srv/uploads
mkdir -p "$files" "$srv"

# Lines shaped like curl's and Chromium's delimiters, line ends of every
# kind, and a delimiter prefix right at the end of the content.
make_boundary_lookalikes() {
  local i
  for i in $(seq 2000); do
    printf -- '--------------------------%016x\r\n' "$i"
    printf -- '--------------------------%016x--\r\n' "$i"
    printf -- '\r\n------WebKitFormBoundary%016d\r\n\r\n' "$i"
    printf -- '--\r\n\r\n\r\r\n\n\r'
  done
  printf -- '\r\n--------------------------'
}

head -c $((50 * 1024 * 1024)) /dev/urandom >"$files/random.bin"
make_boundary_lookalikes >"$files/lookalikes.txt"
: >"$files/empty.dat"
printf 'spaces\n' >"$files/spaces"
printf 'quote\n' >"$files/quote"
printf 'backslash\n' >"$files/backslash"
printf 'dot-dot\n' >"$files/dotdot"
printf 'non-ascii\n' >"$files/nonascii"
printf 'first\n' >"$files/dup1"
printf 'second\n' >"$files/dup2"

# field | local file | name sent | file_name the handler reports | stored name
# curl sends a double quote as %22 (as browsers do) and a backslash as it
# is, which the reader takes for a directory separator.
cases=(
  "big|random.bin|random.bin|random.bin|random.bin"
  "docs|lookalikes.txt|lookalikes.txt|lookalikes.txt|lookalikes.txt"
  "docs|empty.dat|empty.dat|empty.dat|empty.dat"
  "docs|spaces|my summer file.txt|my summer file.txt|my summer file.txt"
  "docs|quote|say \\\"cheese\\\".txt|say %22cheese%22.txt|say %22cheese%22.txt"
  "docs|backslash|C:\\\\Users\\\\ann\\\\report.txt|report.txt|report.txt"
  "docs|dotdot|../../escape.txt|escape.txt|escape.txt"
  "docs|nonascii|Grüße résumé 東京.txt|Grüße résumé 東京.txt|Grüße résumé 東京.txt"
  "docs|dup1|twice.txt|twice.txt|twice.txt"
  "docs|dup2|twice.txt|twice.txt|twice-1.txt"
)

# Room for the form of 10,000 files below.
export MPREAD_UPLOAD_MAX_FILES=10000
start_demo "$server" "$srv/site" "$uploads" "$work/demo.log" || exit 1
url=http://127.0.0.1:$DEMO_PORT
before=$(snapshot "$srv" uploads)

check "the page is served" \
  bash -c "curl -fsS '$url/' | grep -q 'id=\"upload-form\"'"
check "the page's script is served" \
  bash -c "curl -fsS '$url/upload.js' | grep -q XMLHttpRequest"

# --- one form with all the files and two text fields --------------------
args=(-F 'title=Files of every kind' --form-string 'note=a "quoted" \ note')
for c in "${cases[@]}"; do
  IFS='|' read -r field local sent _ _ <<<"$c"
  args+=(-F "$field=@$files/$local;filename=\"$sent\"")
done
start=$(now_ms)
read -r status sent < <(curl -sS -o "$work/files.json" -w '%{http_code} %{size_upload}\n' \
  "${args[@]}" "$url/cgi-bin/mpread-upload")
log "form of files: request body of $sent bytes in $(( $(now_ms) - start )) ms"

check "files form answers 200 (got $status)" [ "$status" = 200 ]
check "answer lists the text fields" json_true "$work/files.json" \
  '.fields == [{"name":"title","value":"Files of every kind"},
               {"name":"note","value":"a \"quoted\" \\ note"}]'
check "answer lists ${#cases[@]} files" json_true "$work/files.json" \
  ".files | length == ${#cases[@]}"
i=0
expected_names=()
for c in "${cases[@]}"; do
  IFS='|' read -r field local sent reported stored <<<"$c"
  expected_names+=("$stored")
  hash=$(sha256_of "$files/$local")
  size=$(stat -c %s "$files/$local")
  check "$sent: JSON entry" json_true "$work/files.json" \
    --arg f "$field" --arg n "$reported" --arg s "$stored" --arg h "$hash" \
    ".files[$i] | .field == \$f and .file_name == \$n and .stored_name == \$s
       and .size == $size and .sha256 == \$h"
  check "$sent: stored byte for byte" same_file "$uploads/$stored" "$hash"
  i=$((i + 1))
done
check "stored files are private (0600)" \
  bash -c "[ -z \"\$(find '$uploads' -type f ! -perm 0600)\" ]"

# --- 1,000 small fields, values that need escaping in JSON --------------
jq -n '[range(1; 1001) | {name: "field\(.)", value: "value \(.): \"q\" \\ ü <b>&</b>"}]' \
  >"$work/fields.expected.json"
# curl's config file quotes as JSON does for these characters.
jq -r '.[] | "form-string = " + (.name + "=" + .value | tojson)' \
  "$work/fields.expected.json" >"$work/fields.curlrc"
start=$(now_ms)
read -r status sent < <(curl -sS -o "$work/fields.json" -w '%{http_code} %{size_upload}\n' \
  -K "$work/fields.curlrc" "$url/cgi-bin/mpread-upload")
log "form of 1000 fields: request body of $sent bytes in $(( $(now_ms) - start )) ms"
check "fields form answers 200 (got $status)" [ "$status" = 200 ]
check "all 1000 fields come back with their values" json_true "$work/fields.json" \
  --slurpfile want "$work/fields.expected.json" '.fields == $want[0] and .files == []'

# --- 10,000 files all named same.txt -------------------------------------
# Each takes the next free number where the one before stopped, so the last
# costs no more than the first. Only a run far slower than that fails.
n=10000 boundary=sameNameBoundary
node -e '
  const [n, b] = process.argv.slice(1);
  const parts = [];
  for (let i = 0; i < n; i++)
    parts.push(`--${b}\r\nContent-Disposition: form-data; name="f"; filename="same.txt"\r\n\r\n${i}\r\n`);
  process.stdout.write(parts.join("") + `--${b}--\r\n`);' "$n" "$boundary" >"$work/same.body"
start=$(now_ms)
status=$(curl -sS -o "$work/same.json" -w '%{http_code}' --data-binary @"$work/same.body" \
  -H "Content-Type: multipart/form-data; boundary=$boundary" "$url/cgi-bin/mpread-upload")
elapsed=$(( $(now_ms) - start ))
log "figures: $n files named same.txt ($(stat -c %s "$work/same.body") bytes) stored in $elapsed ms"
check "$n same-named files: 200 (got $status)" [ "$status" = 200 ]
check "$n same-named files: same.txt, same-1.txt, ... in order" json_true "$work/same.json" \
  "[.files[].stored_name] == [\"same.txt\"] + [range(1; $n) | \"same-\\(.).txt\"]"
check "$n same-named files: each holds its own part" \
  bash -c "[ \"\$(cat '$uploads/same.txt' '$uploads/same-1.txt' '$uploads/same-$((n - 1)).txt')\" = 01$((n - 1)) ]"
check "$n same-named files: within a generous minute" [ "$elapsed" -lt 60000 ]
expected_names+=(same.txt)
for i in $(seq $((n - 1))); do expected_names+=("same-$i.txt"); done

# --- nothing stored anywhere else ----------------------------------------
stop_demo
check "only the expected files are in the upload folder" \
  diff <(printf '%s\n' "${expected_names[@]}" | sort) <(ls -A "$uploads" | sort)
check "nothing changed outside the upload folder" \
  diff <(echo "$before") <(snapshot "$srv" uploads)
check "no escape.txt above the upload folder" \
  bash -c "[ ! -e '$srv/escape.txt' ] && [ ! -e '$work/escape.txt' ]"

# --- upload folders the handler refuses ----------------------------------
# Stored in the web root, an upload could be served back as a page or run as
# a program: 500, and nothing may appear under the web root.
site=$srv/site
refused() { # label, the folder it is refused for, its error message
  check "$1: 500 (got $status)" [ "$status" = 500 ]
  check "$1: says why" json_true "$work/refused.json" --arg m "$2" '.error.message | test($m)'
}
post_file() {
  status=$(curl -sS -o "$work/refused.json" -w '%{http_code}' \
    -F "f=@$files/dup1;filename=x.html" "$url/cgi-bin/mpread-upload")
}

# The demo makes the folder inside the web root: the handler stores nothing.
start_demo "$server" "$site" "$site/uploads" "$work/demo-in-root.log" || exit 1
url=http://127.0.0.1:$DEMO_PORT
post_file
refused "a folder inside the web root" "lies inside the web root"
check "a folder inside the web root: it stays empty" [ -z "$(ls -A "$site/uploads")" ]
check "a folder inside the web root: no file under the web root" \
  bash -c "[ -z \"\$(find '$site' -type f)\" ]"
stop_demo

# busybox httpd passes on its environment: started without the variable,
# the handler must not fall back to uploads/ beside itself (lighttpd.conf
# does not start without it).
if [ "$server" = busybox ]; then
  rm -rf "$site/uploads"
  port=$(free_port)
  env -u MPREAD_UPLOAD_DIR busybox httpd -f -p "127.0.0.1:$port" -h "$site" \
    -c "$REPO/examples/demo/busybox-httpd.conf" &
  bb_pid=$!
  url=http://127.0.0.1:$port
  for _ in $(seq 100); do curl -fsS -o /dev/null "$url/" 2>/dev/null && break; sleep 0.1; done
  post_file
  kill "$bb_pid"
  wait "$bb_pid" 2>/dev/null || true
  refused "MPREAD_UPLOAD_DIR unset" "MPREAD_UPLOAD_DIR is not set"
  check "MPREAD_UPLOAD_DIR unset: nothing under the web root" \
    bash -c "[ -z \"\$(find '$site' -type f -o -name uploads)\" ]"
fi
finish
