#!/usr/bin/env bash
# Each shipped library exports exactly the functions its header declares:
# the ABI check lets an added export through, so this is where one shows.
# In a hardened build each library and the handler are bound at load
# (BIND_NOW) with a read-only relocation segment (GNU_RELRO), and the
# handler is PIE. Runs the target's binutils, so it checks cross builds too.
# (The sonames are the install check's, the C++ runtime the footprint's.)
#   check-exports.sh NM READELF SOURCE_DIR HARDENED LIBRARY_FILE... [HANDLER]
set -uo pipefail
nm=$1 readelf=$2 src=$3 hardened=$4
shift 4
declare -A headers=([mpread]=include/mpread.h [intake]=src/request/intake/intake.h
                    [reqinfo]=src/request/reqinfo/reqinfo.h)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for file in "$@"; do
  name=$(basename "$file")
  if [ "$hardened" = ON ]; then
    "$readelf" -d "$file" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$name: no BIND_NOW"
    # MIPS keeps its GOT outside RELRO, so the build leaves it out there (see
    # cmake/hardening.cmake).
    "$readelf" -h "$file" | grep -q 'Machine:.*MIPS' ||
      "$readelf" -lW "$file" | grep -q '^ *GNU_RELRO ' || fail "$name: no GNU_RELRO segment"
  fi
  if [[ $name != lib*.so* ]]; then # the handler
    [ "$hardened" = ON ] && { "$readelf" -d "$file" | grep -q '(FLAGS_1).*PIE' || fail "$name is no PIE"; }
    continue
  fi
  lib=${name#lib}
  header=$src/${headers[${lib%%.so*}]}
  declared=$(grep -E '^[A-Z]+_API ' "$header" | sed -E 's/\(.*//; s/.*[ *]//' | sort)
  # Type A entries are version nodes of the linker map, not symbols.
  exported=$("$nm" -D --defined-only "$file" | awk '$2 != "A" { print $3 }' | sort)
  [ -n "$declared" ] && [ "$exported" = "$declared" ] ||
    fail "$name exports differ from $header's functions: $(diff <(echo "$declared") <(echo "$exported") | grep '^[<>]' | tr '\n' ' ')"
done

[ $failures -eq 0 ] && echo "exports and hardening as expected"
[ $failures -eq 0 ]
