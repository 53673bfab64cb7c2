#!/usr/bin/env bash
# Each libFuzzer target for a bounded time, from the seed corpora in
# fuzz/corpus: with the build, about a minute, to fit the suite's budget
# (scripts/fuzz.sh 600 runs them longer).
#   MPREAD_FUZZ_SECONDS   seconds per target (default 12)
set -euo pipefail
cd "$(dirname "$0")/../.."
FUZZ_BUILD=build/ci-fuzz exec bash scripts/fuzz.sh "${MPREAD_FUZZ_SECONDS:-12}"
