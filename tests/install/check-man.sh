#!/usr/bin/env bash
# The manual page's ERRORS list is the library's table of messages: per
# entry the code, the name mpread.h gives it, and each text, an italic word
# standing for each conversion of the format. The page renders without a
# warning of any kind (lintian's man --warnings in the packages stage shows
# undefined macros only).
#   check-man.sh PAGE      exit 77 (skipped) where groff is not installed
set -uo pipefail
page=$1 src=$(dirname "$1")/..

declare -A code
while read -r name value; do code[$name]=$value; done < <(
  grep -oE 'MPREAD_ERROR_[A-Z_]+ = [0-9]+' "$src/include/mpread.h" | sed 's/ = / /')
# The table's rows as "NAME text"; the prefixes put before other errors
# have no code of ours and no entry.
table=$(tr -d '\\\n' <"$src/src/reader/messages.h" | grep -oE 'MPREAD_ERROR_[A-Z_]+, *"[^"]*"' |
  sed -E 's/, *"(.*)"/ \1/; s/%[a-z]+/*/g' | while read -r name text; do
    echo "${code[$name]} $name $text"; done)
# An entry: .TP, .BR code " NAME", its texts one a line apart by .br, then
# any .IP paragraph that explains.
listed=$(awk '$0 == ".SH ERRORS" { on = 1 } on && $0 == ".PP" { exit }
  on && /^\.BR [0-9]+ " MPREAD_ERROR_/ { entry = $2 " " substr($4, 1, length($4) - 1); next }
  /^\.(IP|TP)$/ { entry = "" } entry != "" && !/^\.br$/ { print entry " " $0 }' "$page" |
  sed -E 's/\\fI[^\\]*\\fP/*/g; s/\\-/-/g')
[ "$listed" = "$table" ] || {
  echo "FAIL: the ERRORS list of $page is not the table of src/reader/messages.h:" >&2
  diff <(echo "$table") <(echo "$listed") >&2
  exit 1
}

command -v groff >/dev/null || { echo "groff is not installed" >&2; exit 77; }
warnings=$(groff -ww -z -man "$page" 2>&1)
[ -z "$warnings" ] || { printf 'FAIL: %s renders with warnings:\n%s\n' "$page" "$warnings" >&2; exit 1; }
echo "$page renders without a warning of any kind; its ERRORS list is the library's"
