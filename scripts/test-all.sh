#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing, then runs
# every stage under scripts/stages/ in order, going on past a failing stage,
# and ends with a summary line. Exit status is non-zero when any stage failed.
#   scripts/test-all.sh              all stages
#   scripts/test-all.sh unit e2e     only stages whose names contain these words
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_build_deps || { echo "could not install the build dependencies" >&2; exit 1; }

passed=0 failed=0 failed_names=()
for stage in scripts/stages/*.sh; do
  name=$(basename "$stage" .sh)
  if [ $# -gt 0 ]; then
    match=0
    for w in "$@"; do [[ $name == *"$w"* ]] && match=1; done
    [ $match -eq 1 ] || continue
  fi
  log "stage $name"
  start=$(date +%s)
  if bash "$stage"; then
    passed=$((passed + 1)); result=passed
  else
    failed=$((failed + 1)); result=FAILED; failed_names+=("$name")
  fi
  echo "stage $name $result in $(( $(date +%s) - start )) s" >&2
done

[ $failed -gt 0 ] && echo "failed stages: ${failed_names[*]}" >&2
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
