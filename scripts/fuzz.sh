#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang (ASan + UBSan) and runs
# each for a bounded time, one after the other, on one core.
#   scripts/fuzz.sh                 every target, 60 s each
#   scripts/fuzz.sh 600             every target, ten minutes each
#   scripts/fuzz.sh 600 walk        only the walk target
# Environment:
#   FUZZ_BUILD   build directory (default build/fuzz); the corpus each run
#                grows is kept in FUZZ_BUILD/corpus/<target>, so later runs
#                start from what earlier ones found
#   FUZZ_ARGS    extra libFuzzer flags, e.g. "-seed=1 -runs=100000"
# A crash or a broken property leaves its input in fuzz/artifacts/ and makes
# the script fail; replay it with
#   G_SLICE=always-malloc FUZZ_BUILD/<target>_fuzz <file>
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(walk header intake)
build=${FUZZ_BUILD:-build/fuzz}

need_pkgs clang libclang-rt-14-dev cmake pkg-config libglib2.0-dev

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(jobs)" >/dev/null

# Bodies past two working buffers, so that every buffer edge is in reach.
declare -A max_len=([walk]=16384 [header]=8192 [intake]=12288)

mkdir -p fuzz/artifacts
status=0
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  log "fuzzing $t for $seconds s"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  out="$build/$t.log"
  # -timeout: one input taking seconds means a parse that is not linear.
  # GSlice would hide leaks from LeakSanitizer.
  if G_SLICE=always-malloc "$build/${t}_fuzz" "$work" "fuzz/corpus/$t" \
       "${dict[@]}" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
       -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="fuzz/artifacts/$t-" ${FUZZ_ARGS:-} >"$out" 2>&1; then
    result=passed
  else
    result=FAILED
    status=1
    grep -E 'Assertion|ERROR|SUMMARY|Test unit written' "$out" >&2 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$out" | tail -1)
  summary+=("$t: $result, ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-cov ?}")
done

printf '%s\n' "${summary[@]}" >&2
exit $status
