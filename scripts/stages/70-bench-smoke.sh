#!/usr/bin/env bash
# The benchmark on small bodies, so that it keeps building and running; its
# figures are not checked (CI machines are shared and noisy).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=build/ci-bench BENCH_CACHE=build/ci-bench/bodies \
  bench/run.sh --quick --runs 1
