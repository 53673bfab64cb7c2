#!/usr/bin/env bash
# The benchmark, in one command: builds the libraries and the benchmark's
# programs (Release), makes the request bodies once (seeded, cached under
# bench/.cache/), then runs the floor and the library side by side.
#   bench/run.sh                 time, callgrind and system-call tables
#   bench/run.sh --time          only the time table (also --callgrind,
#                                --syscalls; --profile adds the top functions
#                                of each callgrind run)
#   bench/run.sh --only W1,W3    only these workloads
#   bench/run.sh --runs 9        more runs per median (default 5)
#   bench/run.sh --quick         small bodies: a smoke run of under a minute
# BUILD_DIR (default build/bench) and BENCH_CACHE (default bench/.cache) may
# be set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_build_deps
need_pkgs valgrind strace

build=${BUILD_DIR:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(jobs)" --target bench_tools >/dev/null

exec "$build/bench/run" --driver "$build/bench/driver" \
  --floor "$build/bench/floor" --measure "$build/bench/measure" \
  --cache "${BENCH_CACHE:-bench/.cache}" "$@"
