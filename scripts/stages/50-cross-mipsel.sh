#!/usr/bin/env bash
# 32-bit MIPS and packaging: the unit suite built for mipsel and run under
# qemu-mipsel, the libraries' footprint on both architectures, and the
# manual page rendered by man without warnings.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
. scripts/lib.sh

status=0
scripts/cross-test.sh || status=1
need_pkgs man-db || status=1
bash tests/install/check-man.sh man/mpread.3 || status=1
# The host tree of the unit stage is reused when it is there.
scripts/footprint.sh "${MPREAD_HOST_BUILD:-build/ci-host}" \
  "${MPREAD_CROSS_BUILD:-build/cross-mipsel}" || status=1
exit $status
