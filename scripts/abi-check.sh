#!/usr/bin/env bash
# Compares the ABI of the current build with the baseline in abi/ (abidiff).
# Fails on any incompatible change: a function removed or changed, a
# changed layout of a public record (MpreadPart, ReqinfoHeader), a changed
# or removed enumerator value. Passes on additions: new functions, new
# enumerators at the end of an enum. scripts/abi-update.sh takes a new
# baseline on purpose.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
current=build/abi/current
rm -rf "$current"
bash scripts/abi-update.sh "$current" || exit 1

# Types of libc, libstdc++ and GLib are in the DWARF too, and so are the
# libraries' private records: among the types that no function reaches,
# only those of the public headers count.
suppr=build/abi/public-only.suppr
printf '[suppress_type]\n  name_not_regexp = ^(Mpread|Intake|Reqinfo)\n[suppress_type]\n  source_location_not_regexp = ^(mpread|intake|reqinfo)\\.h$\n' >"$suppr"

failed=0
for lib in intake reqinfo mpread; do
  base=abi/lib$lib.abi
  [ -f "$base" ] || { echo "no baseline $base: run scripts/abi-update.sh" >&2; failed=1; continue; }
  reachable=$(abidiff "$base" "$current/lib$lib.abi")
  rc1=$?
  unreachable=$(abidiff --non-reachable-types --suppressions "$suppr" \
                  "$base" "$current/lib$lib.abi")
  rc2=$?
  # abidiff: bit 1 error, 2 usage, 4 some change, 8 an incompatible one. A
  # changed record layout comes as a plain change (4): whatever the summary
  # counts as removed or changed is a break, what it counts as added is not.
  broken=0
  if (( (rc1 | rc2) & 3 )); then
    echo "lib$lib: abidiff failed ($rc1, $rc2)" >&2; broken=1
  elif (( (rc1 | rc2) & 8 )) ||
       grep -E 'summary:' <<<"$reachable"$'\n'"$unreachable" |
         grep -q -E '(^|[ :,])[1-9][0-9]* ([Rr]emoved|[Cc]hanged)'; then
    broken=1
  fi
  if [ $broken -eq 1 ]; then
    echo "lib$lib: ABI BROKEN against $base:" >&2
    printf '%s\n%s\n' "$reachable" "$unreachable" | sed 's/^/  /' >&2
    failed=1
  elif (( rc1 | rc2 )); then
    echo "lib$lib: compatible additions:" >&2
    printf '%s\n' "$reachable" | sed 's/^/  /' >&2
  else
    echo "lib$lib: ABI unchanged" >&2
  fi
done
exit $failed
