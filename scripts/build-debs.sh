#!/usr/bin/env bash
# Builds the Debian packages libmpread0, libmpread-dev and mpread-upload
# into build/deb/packages/ (or DIR/packages/ for: build-debs.sh DIR), with
# Debian's hardening flags, and prints their paths.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_build_deps
need_pkgs dpkg-dev file
build=${1:-build/deb}
out=$build/packages

version=$(sed -n -E 's/^project\(mpread VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
head -n 1 cmake/deb/changelog | grep -q "($version)" ||
  { echo "cmake/deb/changelog: no entry for $version on top" >&2; exit 1; }

# The flags Debian builds its own packages with, every hardening option on.
# Given on the command line (not as CFLAGS, which CMake reads only on the
# first run), so that a rerun picks up any change.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flag() { dpkg-buildflags --get "$1"; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(flag CPPFLAGS) $(flag CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flag CPPFLAGS) $(flag CXXFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(flag LDFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flag LDFLAGS)" \
  -DCMAKE_SKIP_INSTALL_RPATH=ON -DMPREAD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(jobs)" >/dev/null
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$build/cpack.log" ||
  { cat "$build/cpack.log" >&2; exit 1; }
ls "$out"/*.deb
