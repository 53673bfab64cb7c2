#!/usr/bin/env bash
# The README's example, examples/save-form.c: the program built from it
# saves the files of a hostile sample form safely.
#   check.sh WORK_DIR [EMULATOR...] PROGRAM
set -uo pipefail
work=$1
shift
fail() { printf '%s\nFAIL: %s\n' "$answer" "$*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work/out" && cd "$work" || exit 1
echo untouched >victim.txt
ln -s ../victim.txt out/link.txt
part() { printf -- '--XyZ\r\nContent-Disposition: form-data; %s\r\nContent-Type: text/plain\r\n\r\n%s\r\n' "$1" "$2"; }
notes=$'line 1\r\nline 2 --XyZ\r\n'  # holds a copy of the delimiter
{
  part 'name="comment"' hello
  part 'name="doc"; filename="C:\Users\me\notes.txt"' "$notes"
  part 'name="evil"; filename="x\../../etc/passwd"' root
  part 'name="nodir"; filename="dir/"' lost
  part 'name="unused"; filename=""' ''
  part 'filename="nameless.txt"' 'no name'
  part 'name="link"; filename="link.txt"' 'through the link'
  part 'name="again"; filename="notes.txt"' overwritten
  printf -- '--XyZ--\r\n'
} >body
answer=$(REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=XyZ' \
  CONTENT_LENGTH=$(stat -c %s body) "$@" out <body 2>&1)
status=$?
# Some files were refused, so the program says so in its exit status.
[ $status = 1 ] || fail "exit status $status, expected 1"
[ "$(ls out | tr '\n' ' ')" = "link.txt notes.txt passwd " ] || fail "out/ holds $(ls out)"
[ ! -e etc ] && [ ! -e passwd ] || fail "a file was saved outside the folder"
[ "$(cat victim.txt)" = untouched ] || fail "the planted link was followed"
cmp -s out/notes.txt <(printf %s "$notes") || fail "notes.txt is not what was sent first"
[ "$(stat -c %a out/notes.txt)" = 600 ] || fail "notes.txt has mode $(stat -c %a out/notes.txt)"
# Each refusal says why (the files saved are above).
for line in "nodir: no file name, not saved" "a file input was left empty" \
            "part not read: Form data part name is not set" "link.txt: " "notes.txt: File exists, not saved"; do
  grep -qF "$line" <<<"$answer" || fail "the answer lacks \"$line\""
done
