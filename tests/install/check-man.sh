#!/usr/bin/env bash
# The manual page renders without a warning from man or groff.
#   check-man.sh PAGE      exit 77 (skipped) where man is not installed
set -uo pipefail
page=$1
command -v man >/dev/null || { echo "man is not installed" >&2; exit 77; }
warnings=$(MANWIDTH=80 man -l --warnings "$page" 2>&1 >/dev/null
           groff -ww -z -man "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "FAIL: $page renders with warnings:" >&2
  echo "$warnings" >&2
  exit 1
fi
echo "$page renders cleanly"
