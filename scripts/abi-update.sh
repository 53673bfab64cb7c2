#!/usr/bin/env bash
# Writes the ABI description (abidw) of each shared library to DIR, by
# default abi/: the baseline that scripts/abi-check.sh compares builds with.
# Run it on purpose, after an ABI change that is meant (an addition, or a
# new soname), and commit abi/ with that change.
#   scripts/abi-update.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_build_deps
need_pkgs abigail-tools
out=${1:-abi}
build=build/abi

# A debug-info build: abidw reads the types from DWARF. Its own build tree,
# so that flags of other builds (sanitizers, packaging) cannot leak in.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DMPREAD_BUILD_TESTS=OFF \
  -DMPREAD_BUILD_UPLOAD_HANDLER=OFF -DMPREAD_SANITIZE=OFF >/dev/null
cmake --build "$build" -j"$(jobs)" --target mpread >/dev/null

mkdir -p "$out"
# Unreachable types too (the error enums are used by no function's
# signature); no paths of this machine in the output; type ids by hash, so
# that an unchanged library gives an unchanged file.
for lib in intake reqinfo mpread; do
  abidw --load-all-types --no-corpus-path --no-comp-dir-path --short-locs \
    --type-id-style hash --out-file "$out/lib$lib.abi" "$build/lib$lib.so.0"
done

# Every type of the public headers must be described, or a change to it
# would go unnoticed.
status=0
for pair in mpread:include/mpread.h intake:src/request/intake/intake.h \
            reqinfo:src/request/reqinfo/reqinfo.h; do
  lib=${pair%%:*} header=${pair#*:}
  for type in $(sed -n -E 's/^\} *([A-Z][A-Za-z]+);.*/\1/p' "$header"); do
    grep -q "<typedef-decl name='$type'" "$out/lib$lib.abi" ||
      { echo "lib$lib.abi does not describe $type (from $header)" >&2; status=1; }
  done
done
[ $status -eq 0 ] && echo "ABI descriptions written to $out/" >&2
exit $status
