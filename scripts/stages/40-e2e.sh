#!/usr/bin/env bash
# End-to-end tests: mpread-upload run directly and under busybox httpd,
# lighttpd, Apache (mod_cgid) and nginx with fcgiwrap, and in Debian's
# chromium driven by playwright-core.
# Installs the servers, the browser and the npm packages of tests/e2e (never
# a downloaded browser), builds the host build as the unit stage does, then
# runs the tests labelled e2e.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_build_deps
need_pkgs busybox lighttpd apache2 nginx fcgiwrap chromium fonts-dejavu-core curl valgrind
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  need_pkgs nodejs npm
fi
log "npm ci in tests/e2e"
(cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)

build_host
build=$host_build
ctest --test-dir "$build" -L e2e --output-on-failure -j"$(jobs)" --timeout 600
echo "browser screenshot: $build/e2e/browser/result.png" >&2
