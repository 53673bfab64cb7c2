#!/usr/bin/env bash
# The unit suite on 32-bit little-endian MIPS: installs what is missing (the
# cross compiler, qemu-user, the GLib sysroot), builds the libraries and the
# tests with the mipsel toolchain and runs them under qemu-mipsel.
#   scripts/cross-test.sh [ctest args...]     build tree: build/cross-mipsel
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build=${MPREAD_CROSS_BUILD:-build/cross-mipsel}
need_build_deps
need_pkgs g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user
scripts/cross-sysroot.sh >/dev/null

start=$(date +%s)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPREAD_WERROR=ON >/dev/null
cmake --build "$build" -j"$(jobs)"
built=$(date +%s)
status=0
ctest --test-dir "$build" --output-on-failure -j"$(jobs)" --timeout 600 "$@" || status=$?
echo "mipsel: build $((built - start)) s, tests under qemu $(($(date +%s) - built)) s" >&2
exit $status
