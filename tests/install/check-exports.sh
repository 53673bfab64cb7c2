#!/usr/bin/env bash
# Each shipped library exports exactly the functions its header declares:
# the ABI check lets an added export through, so this is where one shows.
# In a hardened build each library and the handler are bound at load
# (BIND_NOW), which lintian only mentions. Runs the target's binutils, so it
# checks cross builds too. (The sonames are the install check's, the C++
# runtime the footprint's, RELRO and PIE lintian's in the packages stage.)
#   check-exports.sh NM READELF SOURCE_DIR HARDENED LIBRARY_FILE... [HANDLER]
set -uo pipefail
nm=$1 readelf=$2 src=$3 hardened=$4
shift 4
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for file in "$@"; do
  name=$(basename "$file")
  if [ "$hardened" = ON ]; then
    "$readelf" -d "$file" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$name: no BIND_NOW"
  fi
  [[ $name == lib*.so* ]] || continue # the handler
  lib=${name#lib}
  header=$(find "$src/include" "$src/src" -name "${lib%%.so*}.h")
  declared=$(grep -E '^[A-Z]+_API ' "$header" | sed -E 's/\(.*//; s/.*[ *]//' | sort)
  # Type A entries are version nodes of the linker map, not symbols.
  exported=$("$nm" -D --defined-only "$file" | awk '$2 != "A" { print $3 }' | sort)
  [ -n "$declared" ] && [ "$exported" = "$declared" ] ||
    fail "$name exports differ from $header's functions: $(diff <(echo "$declared") <(echo "$exported") | grep '^[<>]' | tr '\n' ' ')"
done

[ $failures -eq 0 ] && echo "exports and hardening as expected"
[ $failures -eq 0 ]
