#!/usr/bin/env bash
# The unit suite under valgrind memcheck, on a plain build: every test runs
# under valgrind (ctest's launcher for test programs), and any invalid
# access, use of uninitialised memory or leak fails it.
#   MPREAD_VG_LABELS   ctest label options (default: -L unit -LE slow; 100 MB
#                      through valgrind would take minutes)
#   MPREAD_VG_ARGS     more valgrind options, e.g. "--track-origins=yes"
#   MPREAD_VG_EXCLUDE  tests left out (ctest -E regex; default none)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_build_deps
need_pkgs valgrind
build=build/ci-valgrind
vg="$(command -v valgrind);--tool=memcheck;--error-exitcode=99;--leak-check=full"
vg+=";--errors-for-leak-kinds=definite,indirect,possible;--show-leak-kinds=definite,indirect,possible"
vg+=";--num-callers=30;--quiet${MPREAD_VG_ARGS:+;${MPREAD_VG_ARGS// /;}}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPREAD_BUILD_UPLOAD_HANDLER=OFF \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=$vg" >/dev/null
cmake --build "$build" -j"$(jobs)" >/dev/null
export G_SLICE=always-malloc G_DEBUG=gc-friendly
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j"$(jobs)" --timeout 600 \
  ${MPREAD_VG_LABELS:--L unit -LE slow} ${MPREAD_VG_EXCLUDE:+-E "$MPREAD_VG_EXCLUDE"}
