#!/usr/bin/env bash
# The libraries' ABI against the baseline in abi/: abidiff on a debug-info
# build fails on incompatible changes and lets additions through.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_pkgs abigail-tools
bash scripts/abi-check.sh
