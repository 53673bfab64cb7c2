# shellcheck shell=bash
# Shared by the end-to-end test scripts, which take the server, their work
# folder and the built handler as arguments: the demo's server on a free
# loopback port, and checks that go on after a failure so that one run shows
# every broken one. Sourced, not run.
set -euo pipefail
# A step that fails outside check() ends the test: say which one.
trap 'log "error in line $LINENO: $BASH_COMMAND"' ERR
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$E2E_DIR/../.." && pwd)
server=$1 HANDLER=$3
rm -rf "$2" && mkdir -p "$2" && work=$(realpath "$2")
failures=0
log() { printf '%s\n' "$*" >&2; }
check() {
  local what=$1
  shift
  if "$@"; then log "ok: $what"; else log "FAIL: $what"; failures=$((failures + 1)); fi
}
finish() { [ "$failures" = 0 ] || { log "$failures check(s) failed"; exit 1; }; }
for tool in curl jq node sha256sum "$server"; do
  command -v "$tool" >/dev/null || { log "no $tool: scripts/stages/40-e2e.sh installs it"; exit 1; }
done

# Starts scripts/demo.sh (which runs the server) in a process group of its
# own on a free port, retrying when another process took the port first.
demo_pid=""
start_demo() { # site uploads logfile
  for _ in 1 2 3 4 5; do
    DEMO_PORT=$(node -e 'const s = require("net").createServer();
      s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });')
    MPREAD_DEMO_PORT=$DEMO_PORT MPREAD_DEMO_SITE=$1 MPREAD_UPLOAD_DIR=$2 \
      MPREAD_DEMO_HANDLER=$HANDLER setsid bash "$REPO/scripts/demo.sh" "--$server" >"$3" 2>&1 </dev/null &
    demo_pid=$!
    for _ in $(seq 100); do
      grep -q '^Press Ctrl-C' "$3" && return 0
      kill -0 "$demo_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_demo
    log "demo did not start:" && cat "$3" >&2
  done
  return 1
}
# Stops the demo as Ctrl-C would (TERM: a background job ignores INT), then
# its whole process group should anything be left.
stop_demo() {
  [ -n "$demo_pid" ] || return 0
  kill -TERM "$demo_pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$demo_pid" 2>/dev/null || true
  wait "$demo_pid" 2>/dev/null || true
  demo_pid=""
}
trap stop_demo EXIT

# jq -e on a JSON file: true when the filter yields true.
#   json_true FILE [jq options...] FILTER
json_true() { jq -e "${@:2}" "$1" >/dev/null; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
