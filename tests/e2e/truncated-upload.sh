#!/usr/bin/env bash
# A client that stops mid-body, through a real web server: the file being
# written must not stay behind, and where the server still passes an answer
# to a half-closed connection it must be an error.
#   truncated-upload.sh busybox|lighttpd WORK_DIR HANDLER
. "$(dirname "$0")/lib.sh"
server=$1
work=$(new_work_dir "$2")
HANDLER=$3
require_tools jq node "$server"
trap stop_demo EXIT

uploads=$work/srv/uploads
start_demo "$server" "$work/srv/site" "$uploads" "$work/demo.log" || exit 1

# The server ends the handler on its own time: wait until it is gone.
handler_gone() {
  for _ in $(seq 100); do
    pgrep -f "$work/srv/site/cgi-bin/mpread-upload" >/dev/null || return 0
    sleep 0.1
  done
  return 1
}

for mode in half-close reset; do
  rm -rf "${uploads:?}"/*
  node "$E2E_DIR/truncated-client.mjs" "$DEMO_PORT" "$uploads" "$mode" >"$work/$mode.json"
  answer=$(jq -r .answer "$work/$mode.json")
  log "$mode: answer was: ${answer:-(none)}"
  check "$mode: the partial file was being written" json_true "$work/$mode.json" .partialSeen
  check "$mode: the handler ended" handler_gone
  check "$mode: no partial file is left" [ ! -e "$uploads/partial.bin" ]
  check "$mode: the complete file before it is kept" [ -f "$uploads/complete.txt" ]
  check "$mode: nothing else in the upload folder" \
    diff <(echo complete.txt) <(ls -A "$uploads")
  if [ -n "$answer" ]; then
    check "$mode: any answer is an error" \
      bash -c "head -1 <<<'${answer%%$'\r'*}' | grep -q ' 400 '"
  fi
done
# busybox httpd passes the handler's answer to a client that half-closed;
# lighttpd takes such a client for gone and ends the handler with SIGTERM.
if [ "$server" = busybox ]; then
  body=$(jq -r '.answer | split("\r\n\r\n")[1]' "$work/half-close.json")
  check "half-close: 400 with the reader's message" bash -c \
    "jq -e '.error.status == 400 and (.error.message | test(\"ended after\"))
            and .files[0].stored_name == \"complete.txt\"' <<<'$body' >/dev/null"
fi
finish
