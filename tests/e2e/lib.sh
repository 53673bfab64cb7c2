# shellcheck shell=bash
# Shared by the end-to-end test scripts: a work folder per test, the demo's
# server on a free loopback port, and checks. Sourced, not run.
# The test scripts take the work folder and the built handler as arguments.
set -euo pipefail
# A step that fails outside check() ends the test: say which one.
trap 'log "error in line $LINENO: $BASH_COMMAND"' ERR

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$E2E_DIR/../.." && pwd)
failures=0

log() { printf '%s\n' "$*" >&2; }

# Records a failure and goes on, so one run shows every broken check.
fail() {
  log "FAIL: $*"
  failures=$((failures + 1))
}

check() {
  local what=$1
  shift
  if "$@"; then log "ok: $what"; else fail "$what"; fi
}

finish() {
  if [ "$failures" -gt 0 ]; then
    log "$failures check(s) failed"
    exit 1
  fi
  log "all checks passed"
}

require_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null ||
      { log "$t is missing: scripts/stages/40-e2e.sh installs it"; exit 1; }
  done
}

# A fresh work folder; everything a test makes stays inside it.
new_work_dir() {
  rm -rf "$1"
  mkdir -p "$1"
  realpath "$1"
}

free_port() {
  node -e 'const s = require("net").createServer();
           s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });'
}

demo_pid=""
DEMO_PORT=""

# Starts scripts/demo.sh (which runs the server) in a process group of its
# own on a free port, retrying when another process took the port first.
start_demo() {
  local server=$1 site=$2 uploads=$3 logfile=$4 attempt
  for attempt in 1 2 3 4 5; do
    DEMO_PORT=$(free_port)
    MPREAD_DEMO_PORT=$DEMO_PORT MPREAD_DEMO_SITE=$site MPREAD_UPLOAD_DIR=$uploads \
      MPREAD_DEMO_HANDLER=$HANDLER setsid bash "$REPO/scripts/demo.sh" "--$server" \
      >"$logfile" 2>&1 </dev/null &
    demo_pid=$!
    for _ in $(seq 100); do
      grep -q '^Press Ctrl-C' "$logfile" && return 0
      kill -0 "$demo_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_demo
    log "demo did not start (attempt $attempt):"
    cat "$logfile" >&2
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

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# Every file under a folder with its size and hash, to show that nothing
# outside the upload folder was created or changed.
snapshot() {
  (cd "$1" && find . -path "./$2" -prune -o -print0 | sort -z |
    xargs -0 -r stat -c '%n %s %Y' | sort)
}

# jq -e on a JSON file: the check passes when the filter yields true.
#   json_true FILE [jq options...] FILTER
json_true() { jq -e "${@:2}" "$1" >/dev/null; }

same_file() { [ -f "$1" ] && [ "$(sha256_of "$1")" = "$2" ]; }

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
