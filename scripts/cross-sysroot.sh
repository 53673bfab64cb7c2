#!/usr/bin/env bash
# Builds the mipsel sysroot that the cross build compiles and links against:
# GLib and what it needs, downloaded from Debian's archive for mipsel and
# unpacked with dpkg -x. The host's own apt state is left alone (a private
# package index under the build tree), because installing Debian's mipsel
# GLib through multiarch clashes with the host's newer library versions.
#   scripts/cross-sysroot.sh [DIR]     default build/cross-sysroot/mipsel
# Prints the sysroot's path. Does nothing when DIR is already complete.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=mipsel
root=${1:-build/cross-sysroot/$arch}
# Runtime: libglib2.0-0, libpcre2-8-0. Build: the headers with glibconfig.h
# and glib-2.0.pc, whose Requires.private makes pkg-config want libpcre2-8.pc.
pkgs=(libglib2.0-0 libglib2.0-dev libpcre2-8-0 libpcre2-dev)
stamp=$root/.complete

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${pkgs[*]}" ]; then
  echo "$root"
  exit 0
fi

need_pkgs apt dpkg ca-certificates debian-archive-keyring >&2

work=$(dirname "$root")/apt-$arch
rm -rf "$root" "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs" "$root"
: >"$work/status"
apt_opts=(
  -q -o "Dir::State::Lists=$PWD/$work/lists" -o "Dir::State::status=$PWD/$work/status"
  -o "Dir::Cache=$PWD/$work/cache" -o "APT::Architecture=$arch"
  -o "APT::Architectures::=$arch" -o Debug::NoLocking=1
  -o "APT::Sandbox::User=$(id -un)"
)

log "fetching the $arch package index" >&2
apt-get "${apt_opts[@]}" update >&2
(cd "$work/debs" && apt-get "${apt_opts[@]}" download "${pkgs[@]/%/:$arch}") >&2
for deb in "$work/debs"/*.deb; do
  dpkg -x "$deb" "$root"
done

# The linker and pkg-config need these; fail here rather than in cmake.
for f in usr/lib/$arch-linux-gnu/libglib-2.0.so usr/lib/$arch-linux-gnu/libpcre2-8.so.0 \
         usr/lib/$arch-linux-gnu/glib-2.0/include/glibconfig.h \
         usr/lib/$arch-linux-gnu/pkgconfig/glib-2.0.pc; do
  [ -e "$root/$f" ] || { echo "sysroot incomplete: $f missing" >&2; exit 1; }
done
rm -rf "$work"
echo "${pkgs[*]}" >"$stamp"
echo "$root"
