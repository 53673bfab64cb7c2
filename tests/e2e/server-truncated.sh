#!/usr/bin/env bash
# Clients that stop mid-body, through a real web server: one that goes away,
# one that stalls, one that trickles a byte at a time, and a handler killed
# outright. The file being written is never seen under a name and never
# stays behind; an answer that still reaches the client is an error (408 for
# the slow ones, within the limit plus a margin).
#   server-truncated.sh busybox|lighttpd WORK_DIR HANDLER
. "$(dirname "$0")/lib.sh"

idle=2 total=6
export MPREAD_UPLOAD_IDLE_SECONDS=$idle MPREAD_UPLOAD_MAX_SECONDS=$total
uploads=$work/srv/uploads
start_demo "$work/srv/site" "$uploads" "$work/demo.log" || exit 1

# The server ends the handler on its own time: wait until it is gone.
handler_gone() {
  for _ in $(seq 100); do
    pgrep -f "$work/srv/site/cgi-bin/mpread-upload" >/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# jq -e on the JSON of the HTTP answer that a mode's client got.
#   answer_true MODE FILTER
answer_true() {
  jq -r '.answer | split("\r\n\r\n")[1] // ""' "$work/$1.json" | jq -e "$2" >/dev/null
}

for mode in half-close reset stall trickle kill-handler; do
  rm -rf "${uploads:?}"/* "$uploads"/.[!.]*
  node "$E2E_DIR/truncated-client.mjs" "$DEMO_PORT" "$uploads" "$mode" >"$work/$mode.json"
  answer=$(jq -r .answer "$work/$mode.json")
  log "$mode: answer after $(jq .answerMs "$work/$mode.json") ms: ${answer:-(none)}"
  check "$mode: the partial file was being written" json_true "$work/$mode.json" .partialSeen
  check "$mode: no name but complete.txt was ever seen, and it only whole" \
    json_true "$work/$mode.json" '.strayNames == [] and .incompleteSeen == false'
  check "$mode: the handler ended" handler_gone
  check "$mode: the complete file before it is kept, nothing else (hidden or not)" \
    diff <(echo complete.txt) <(ls -A "$uploads")
  if [ -n "$answer" ] && [[ $mode != stall && $mode != trickle ]]; then
    check "$mode: any answer is an error" \
      bash -c "head -1 <<<'${answer%%$'\r'*}' | grep -Eq ' (400|5[0-9][0-9]) '"
  fi
done

# A client that sends nothing more gets 408 once the idle limit has passed;
# one that trickles is not idle and gets 408 at the total limit. The margin
# is generous: only a timeout that never comes, or comes far too late, fails.
margin_ms=10000
check "stall: 408 for the idle limit, listing the complete file" answer_true stall \
  ".error.status == 408 and (.error.message | test(\"for $idle seconds\"))
   and .error.setting == \"MPREAD_UPLOAD_IDLE_SECONDS\" and .files[0].stored_name == \"complete.txt\""
check "stall: the 408 came within the limit plus the margin" \
  json_true "$work/stall.json" ".answerMs < $((idle * 1000 + margin_ms))"
check "trickle: not idle, 408 for the total limit" answer_true trickle \
  ".error.status == 408 and (.error.message | test(\"longer than $total seconds\"))
   and .files[0].stored_name == \"complete.txt\""
check "trickle: the 408 came within the limit plus the margin" \
  json_true "$work/trickle.json" ".answerMs < $((total * 1000 + margin_ms))"
log "figures: 408 after $(jq .answerMs "$work/stall.json") ms of silence (limit ${idle} s)," \
  "after $(jq .answerMs "$work/trickle.json") ms of trickling (total limit ${total} s)"

# busybox httpd passes the handler's answer to a client that half-closed;
# lighttpd takes such a client for gone and ends the handler with SIGTERM.
if [ "$server" = busybox ]; then
  check "half-close: 400 with the reader's message" answer_true half-close \
    '.error.status == 400 and (.error.message | test("ended after"))
     and .files[0].stored_name == "complete.txt"'
fi
finish
