#!/usr/bin/env bash
# Line and branch coverage of the library sources reached by the fuzz
# corpora: the seeds in fuzz/corpus plus what earlier scripts/fuzz.sh runs
# found (FUZZ_BUILD/corpus). Replays every input once, nothing is fuzzed.
#   scripts/fuzz-coverage.sh            all targets, summary per file
#   scripts/fuzz-coverage.sh walk       one target
#   FUZZ_COVERAGE_HTML=dir              also writes an HTML report there
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(walk header intake)
corpora=${FUZZ_BUILD:-build/fuzz}/corpus
build=build/fuzz-coverage

need_pkgs clang libclang-rt-14-dev llvm cmake pkg-config libglib2.0-dev

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_COVERAGE=ON >/dev/null
cmake --build "$build" -j"$(jobs)" >/dev/null

profiles=() objects=()
for t in "${targets[@]}"; do
  dirs=("fuzz/corpus/$t")
  [ -d "$corpora/$t" ] && dirs+=("$corpora/$t")
  log "replaying ${dirs[*]}"
  LLVM_PROFILE_FILE="$build/$t.profraw" G_SLICE=always-malloc \
    "$build/${t}_fuzz" -runs=0 "${dirs[@]}" >"$build/$t.replay.log" 2>&1
  profiles+=("$build/$t.profraw")
  objects+=(-object "$build/${t}_fuzz")
done
llvm-profdata merge -sparse "${profiles[@]}" -o "$build/all.profdata"
sources=(src/request/intake/intake.cpp src/request/reqinfo/reqinfo.cpp
         src/reader/init.cpp src/reader/part_header.cpp src/reader/part_content.cpp)
llvm-cov report -instr-profile="$build/all.profdata" "${objects[@]:1}" "${sources[@]}"
if [ -n "${FUZZ_COVERAGE_HTML:-}" ]; then
  llvm-cov show -format=html -output-dir="$FUZZ_COVERAGE_HTML" \
    -instr-profile="$build/all.profdata" "${objects[@]:1}" "${sources[@]}"
  log "HTML report in $FUZZ_COVERAGE_HTML"
fi
