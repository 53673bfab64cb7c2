#!/usr/bin/env bash
# The benchmark, in one command: builds the libraries and the benchmark's
# programs (Release), makes the request bodies once (seeded, cached under
# bench/.cache/), then runs the floor and the library side by side.
#   bench/run.sh                 time, callgrind and system-call tables
#   bench/run.sh --time          only the time table (also --callgrind,
#                                --syscalls)
#   bench/run.sh --mipsel        only the guest-instruction table: floor and
#                                library built for 32-bit MIPS, counted under
#                                qemu-mipsel (with the others: adds it)
#   bench/run.sh --only W1,W3    only these workloads
#   bench/run.sh --runs 9        more runs per median (default 5)
#   bench/run.sh --quick         small bodies: a smoke run of under a minute
# BUILD_DIR (default build/bench), MIPSEL_BUILD_DIR (build/bench-mipsel) and
# BENCH_CACHE (default bench/.cache) may be set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_build_deps
need_pkgs valgrind strace

build=${BUILD_DIR:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(jobs)" --target bench_tools >/dev/null

args=()
for a in "$@"; do
  [ "$a" = --mipsel ] || { args+=("$a"); continue; }
  need_pkgs g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user
  scripts/cross-sysroot.sh >/dev/null
  mbuild=${MIPSEL_BUILD_DIR:-build/bench-mipsel}
  cmake -S . -B "$mbuild" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-gnu.cmake >/dev/null
  cmake --build "$mbuild" -j"$(jobs)" --target bench_driver bench_floor >/dev/null
  sysroot=$(sed -n 's/^MPREAD_MIPSEL_SYSROOT:PATH=//p' "$mbuild/CMakeCache.txt")
  args+=(--guest --guest-driver "$mbuild/bench/driver"
    --guest-floor "$mbuild/bench/floor"
    --guest-run "qemu-mipsel -L /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH=$sysroot/usr/lib/mipsel-linux-gnu")
done

exec "$build/bench/run" --driver "$build/bench/driver" \
  --floor "$build/bench/floor" --measure "$build/bench/measure" \
  --cache "${BENCH_CACHE:-bench/.cache}" ${args[@]+"${args[@]}"}
