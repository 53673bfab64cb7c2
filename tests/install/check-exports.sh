#!/usr/bin/env bash
# Each shipped library exports exactly the functions its header declares,
# under its soname, and needs no C++ runtime. In a hardened build each library
# and the handler are bound at load (BIND_NOW) with a read-only relocation
# segment (GNU_RELRO), and the handler is PIE. Runs the target's binutils, so it checks cross builds too.
#   check-exports.sh NM READELF SOURCE_DIR HARDENED LIBRARY_FILE... [HANDLER]
set -uo pipefail
nm=$1 readelf=$2 src=$3 hardened=$4
shift 4

declare -A headers=(
  [mpread]=$src/include/mpread.h
  [intake]=$src/src/request/intake/intake.h
  [reqinfo]=$src/src/request/reqinfo/reqinfo.h
)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

declared() { # header: the names of its FOO_API functions, sorted
  grep -E '^[A-Z]+_API ' "$1" | sed -E 's/\(.*//; s/.*[ *]//' | sort
}

hardening() { # file: BIND_NOW and, but on MIPS, GNU_RELRO
  local file=$1
  "$readelf" -d "$file" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' ||
    fail "$(basename "$file"): no BIND_NOW"
  # MIPS keeps its GOT outside RELRO, so the build leaves it out there (see
  # cmake/hardening.cmake).
  "$readelf" -h "$file" | grep -q 'Machine:.*MIPS' && return
  "$readelf" -lW "$file" | grep -q '^ *GNU_RELRO ' ||
    fail "$(basename "$file"): no GNU_RELRO segment"
}

checked=0
for lib in "$@"; do
  file=$(basename "$lib")
  if [[ $file != lib*.so* ]]; then # the handler
    if [ "$hardened" = ON ]; then
      hardening "$lib"
      "$readelf" -h "$lib" | grep -q 'Type:.*DYN' &&
        "$readelf" -d "$lib" | grep -q '(FLAGS_1).*PIE' || fail "$file is no PIE"
    fi
    continue
  fi
  checked=$((checked + 1))
  [ "$hardened" = ON ] && hardening "$lib"
  name=${file#lib}
  name=${name%%.so*}
  header=${headers[$name]:-}
  [ -n "$header" ] || { fail "$file: no header known for it"; continue; }

  expected=$(declared "$header")
  [ -n "$expected" ] || fail "$file: no functions found in $header"
  # Type A entries are version nodes of the linker map, not symbols.
  exported=$("$nm" -D --defined-only "$lib" | awk '$2 != "A" { print $3 }' | sort)
  if [ "$exported" != "$expected" ]; then
    fail "$file exports differ from $header's functions:"
    diff <(echo "$expected") <(echo "$exported") | sed -n 's/^[<>]/  &/p' >&2
  fi

  dynamic=$("$readelf" -d "$lib")
  soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  [ "$soname" = "lib$name.so.0" ] || fail "$file: soname '$soname', want lib$name.so.0"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | tr '\n' ' ')
  case $needed in
    *libstdc++* | *libgcc_s*) fail "$file needs the C++ runtime: $needed" ;;
  esac
  case $needed in
    *libglib-2.0.so.0*) ;;
    *) fail "$file does not need GLib: $needed" ;;
  esac
done

[ $failures -eq 0 ] && echo "exports, sonames, NEEDED and hardening of $checked libraries as expected"
[ $failures -eq 0 ]
