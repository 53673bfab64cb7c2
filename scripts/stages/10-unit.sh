#!/usr/bin/env bash
# Host build with warnings as errors, then every ctest test of the build.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
build_host
build=$host_build
# End-to-end tests need servers and a browser: stage 40 installs and runs them.
ctest --test-dir "$build" --output-on-failure -j"$(jobs)" --timeout 600 -LE e2e
