#!/usr/bin/env bash
# Host build with warnings as errors, then every ctest test of the build.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
build=build/ci-host
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPREAD_WERROR=ON >/dev/null
cmake --build "$build" -j"$(jobs)"
# End-to-end tests need servers and a browser: stage 40 installs and runs them.
ctest --test-dir "$build" --output-on-failure -j"$(jobs)" --timeout 600 -LE e2e
