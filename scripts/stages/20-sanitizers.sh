#!/usr/bin/env bash
# The unit suite built with AddressSanitizer + UndefinedBehaviorSanitizer:
# any invalid access, leak or undefined behaviour stops the test that met it
# and fails the stage.
#   MPREAD_SAN_LABELS   ctest label options (default: -L unit -LE slow; the
#                       slow streaming tests are memory checks of their own)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_build_deps
build=build/ci-asan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPREAD_SANITIZE=ON \
  -DMPREAD_WERROR=ON -DMPREAD_BUILD_UPLOAD_HANDLER=OFF >/dev/null
cmake --build "$build" -j"$(jobs)" >/dev/null
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# GSlice would keep freed blocks from the leak checker.
export G_SLICE=always-malloc G_DEBUG=gc-friendly
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j"$(jobs)" --timeout 300 \
  ${MPREAD_SAN_LABELS:--L unit -LE slow}
