#!/usr/bin/env bash
# curl uploads through a real web server to mpread-upload, as the demo runs
# it: awkward files in one form, a form of 1,000 fields, 10,000 files of one
# name. Nothing is stored but in the upload folder.
#   server-uploads.sh busybox|lighttpd WORK_DIR HANDLER
. "$(dirname "$0")/lib.sh"
files=$work/files srv=$work/srv
uploads=$srv/uploads
mkdir -p "$files" "$srv"
head -c $((50 * 1024 * 1024)) /dev/urandom >"$files/random.bin"
# Lines shaped like curl's and Chromium's delimiters, line ends of every
# kind, and a delimiter prefix right at the end of the content.
for i in $(seq 2000); do
  printf -- '--------------------------%016x\r\n--------------------------%016x--\r\n' "$i" "$i"
  printf -- '\r\n------WebKitFormBoundary%016d\r\n\r\n--\r\n\r\n\r\r\n\n\r' "$i"
done >"$files/lookalikes.txt"
printf -- '\r\n--------------------------' >>"$files/lookalikes.txt"
: >"$files/empty.dat"
for f in spaces quote backslash dotdot nonascii dup1 dup2; do echo "$f" >"$files/$f"; done

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
# Every file under the server's folder but the uploads, with size and time.
snapshot() { (cd "$srv" && find . -path ./uploads -prune -o -print0 | sort -z | xargs -0 stat -c '%n %s %Y'); }

export MPREAD_UPLOAD_MAX_FILES=10000  # room for the form of 10,000 files
start_demo "$srv/site" "$uploads" "$work/demo.log" || exit 1
url=http://127.0.0.1:$DEMO_PORT
before=$(snapshot)
check "the page and its script are served" bash -c \
  "curl -fsS '$url/' | grep -q 'id=\"upload-form\"' && curl -fsS '$url/upload.js' | grep -q XMLHttpRequest"
post() { # name, curl arguments: the answer in $work/name.json, figures logged
  local name=$1 start
  shift
  start=$(now_ms)
  read -r status sent < <(curl -sS -o "$work/$name.json" -w '%{http_code} %{size_upload}\n' \
    "$@" "$url/cgi-bin/mpread-upload")
  log "figures: $name: request body of $sent bytes in $(($(now_ms) - start)) ms"
  check "$name: 200 (got $status)" [ "$status" = 200 ]
}

# --- one form with all the files and two text fields --------------------
args=(-F 'title=Files of every kind' --form-string 'note=a "quoted" \ note')
for c in "${cases[@]}"; do
  IFS='|' read -r field local sent _ _ <<<"$c"
  args+=(-F "$field=@$files/$local;filename=\"$sent\"")
done
post files "${args[@]}"
check "answer lists the text fields" json_true "$work/files.json" \
  '.fields == [{"name":"title","value":"Files of every kind"},
               {"name":"note","value":"a \"quoted\" \\ note"}]'
check "answer lists ${#cases[@]} files" json_true "$work/files.json" ".files | length == ${#cases[@]}"
i=0
stored_names=()
for c in "${cases[@]}"; do
  IFS='|' read -r field local sent reported stored <<<"$c"
  stored_names+=("$stored")
  hash=$(sha256sum <"$files/$local" | cut -d' ' -f1)
  check "$sent: JSON entry" json_true "$work/files.json" \
    --arg f "$field" --arg n "$reported" --arg s "$stored" --arg h "$hash" \
    ".files[$i] | .field == \$f and .file_name == \$n and .stored_name == \$s
       and .size == $(stat -c %s "$files/$local") and .sha256 == \$h"
  check "$sent: stored byte for byte" cmp -s "$files/$local" "$uploads/$stored"
  i=$((i + 1))
done
check "stored files are private (0600)" bash -c "[ -z \"\$(find '$uploads' -type f ! -perm 0600)\" ]"

# --- 1,000 small fields, values that need escaping in JSON --------------
jq -n '[range(1; 1001) | {name: "field\(.)", value: "value \(.): \"q\" \\ ü <b>&</b>"}]' \
  >"$work/fields.expected.json"
# curl's config file quotes as JSON does for these characters.
jq -r '.[] | "form-string = " + (.name + "=" + .value | tojson)' \
  "$work/fields.expected.json" >"$work/fields.curlrc"
post fields -K "$work/fields.curlrc"
check "all 1000 fields come back with their values" json_true "$work/fields.json" \
  --slurpfile want "$work/fields.expected.json" '.fields == $want[0] and .files == []'

# --- 10,000 files all named same.txt -------------------------------------
# Each takes the next free number where the one before stopped, so the last
# costs no more than the first. Only a run far slower than that fails.
n=10000
node -e '
  const parts = [];
  for (let i = 0; i < process.argv[1]; i++)
    parts.push(`--B\r\nContent-Disposition: form-data; name="f"; filename="same.txt"\r\n\r\n${i}\r\n`);
  process.stdout.write(parts.join("") + "--B--\r\n");' "$n" >"$work/same.body"
start=$(now_ms)
post same --data-binary @"$work/same.body" -H "Content-Type: multipart/form-data; boundary=B"
check "$n same-named files: within a generous minute" [ $(($(now_ms) - start)) -lt 60000 ]
check "$n same-named files: same.txt, same-1.txt, ... in order" json_true "$work/same.json" \
  "[.files[].stored_name] == [\"same.txt\"] + [range(1; $n) | \"same-\\(.).txt\"]"
check "$n same-named files: each holds its own part" \
  [ "$(cat "$uploads/same.txt" "$uploads/same-1.txt" "$uploads/same-$((n - 1)).txt")" = 01$((n - 1)) ]
stored_names+=(same.txt)
for i in $(seq $((n - 1))); do stored_names+=("same-$i.txt"); done

# --- nothing stored anywhere else ----------------------------------------
stop_demo
check "only the expected files are in the upload folder" \
  diff <(printf '%s\n' "${stored_names[@]}" | sort) <(ls -A "$uploads" | sort)
check "nothing changed outside the upload folder" diff <(echo "$before") <(snapshot)
check "no escape.txt above the upload folder" \
  bash -c "[ ! -e '$srv/escape.txt' ] && [ ! -e '$work/escape.txt' ]"
finish
