#!/usr/bin/env bash
# The Debian packages as a distribution checks them: built with CPack,
# lintian without errors or warnings (kept ones are overridden with a
# reason), installed with dpkg -i, the README's example built against them
# with pkg-config alone and run, the CMake package and manual pages found,
# then purged, leaving no file behind.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_build_deps
need_pkgs lintian dpkg-dev file man-db

build=build/ci-deb
work=$PWD/$build/check
pkgs=(mpread-upload libmpread-dev libmpread0)

# Other jobs on the machine may hold dpkg's lock for a while.
dpkg_locked() {
  local i
  for i in $(seq 60); do
    if out=$("$@" 2>&1); then printf '%s\n' "$out"; return 0; fi
    grep -q 'lock' <<<"$out" || { printf '%s\n' "$out" >&2; return 1; }
    sleep 5
  done
  printf '%s\n' "$out" >&2
  return 1
}
purge() { dpkg_locked dpkg --purge "${pkgs[@]}" >/dev/null; }
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${pkgs[@]}" 2>/dev/null |
                grep -v '^un' || true; }

log "building the packages"
list=$(bash scripts/build-debs.sh "$build")
mapfile -t debs <<<"$list"
for deb in "${debs[@]}"; do
  printf '%s %s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")" >&2
done

log "lintian"
status=0
lintian --fail-on error,warning --info "${debs[@]}" >"$build/lintian.log" 2>&1 || status=$?
grep -v 'running with root privileges' "$build/lintian.log" >&2 || true
[ $status -eq 0 ] || { echo "lintian reports errors or warnings" >&2; exit 1; }
echo "lintian: no errors, no warnings" >&2

log "installing with dpkg -i"
[ -z "$(installed)" ] || purge   # left over from an interrupted run
rm -rf "$work"
mkdir -p "$work"
# What the packages hold, and which of those paths were there before (the
# shared folders: /usr, /usr/lib/<triplet>, ...): after the purge the others
# must be gone.
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^$'
done | sort -u >"$work/paths"
present() { while read -r p; do if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi; done; }
present <"$work/paths" >"$work/before"
trap 'purge || true' EXIT
dpkg_locked dpkg -i "${debs[@]}" >"$work/dpkg-i.log"

fail() { echo "FAIL: $*" >&2; exit 1; }

log "the README's example against the installed packages, with pkg-config alone"
cp examples/save-form.c "$work/save-form.c"
unset PKG_CONFIG_PATH LD_LIBRARY_PATH
[ "$(pkg-config --variable=prefix mpread)" = /usr ] ||
  fail "pkg-config finds mpread.pc under $(pkg-config --variable=prefix mpread), not /usr"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/save-form" "$work/save-form.c" \
  $(pkg-config --cflags --libs mpread)
libdir=$(pkg-config --variable=libdir mpread)
loaded=$(ldd "$work/save-form" | sed -n 's/.*libmpread\.so\.0 => \([^ ]*\).*/\1/p')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/libmpread.so.0")" ] ||
  fail "save-form does not load the installed libmpread.so.0: $(ldd "$work/save-form")"

body=$work/request.body
{
  printf -- '--XyZ\r\nContent-Disposition: form-data; name="title"\r\n\r\nhello\r\n'
  printf -- '--XyZ\r\nContent-Disposition: form-data; name="up"; filename="a.txt"\r\n'
  printf 'Content-Type: text/plain\r\n\r\n'
  head -c 10000 /dev/zero | tr '\0' 'x'
  printf -- '\r\n--XyZ--\r\n'
} >"$body"
cgi() { # program [args]: the sample request
  env -i PATH="$PATH" REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=XyZ' \
    CONTENT_LENGTH="$(stat -c %s "$body")" "$@" <"$body"
}
mkdir -p "$work/saved"
out=$(cgi "$work/save-form" "$work/saved") || fail "save-form failed: $out"
[ "$(tr -d x <"$work/saved/a.txt" | wc -c)" = 0 ] && [ "$(stat -c %s "$work/saved/a.txt")" = 10000 ] ||
  fail "save-form did not save a.txt whole: $out"
echo "save-form: $(tr -d '\r' <<<"$out" | tail -n 1)" >&2

log "the handler, the CMake package and the manual pages"
out=$(cd "$work" && cgi env MPREAD_UPLOAD_DIR=uploads mpread-upload) ||
  fail "mpread-upload failed: $out"
grep -q '"stored_name":"a.txt"' <<<"$out" || fail "mpread-upload answered: $out"
cmake -S tests/install/consumer -B "$work/consumer" >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "find_package(mpread) against /usr"; }
[ "$(cgi "$work/consumer/consumer")" = "first part: title" ] || fail "find_package consumer"
for page in mpread_get_next_part mpread-upload; do
  man -w "$page" >/dev/null || fail "man $page: no page"
done

log "dpkg --purge"
purge
trap - EXIT
[ -z "$(installed)" ] || fail "still known to dpkg: $(installed)"
left=$(comm -23 "$work/paths" "$work/before" | present)
[ -z "$left" ] || fail "left behind after the purge: $left"
echo "installed, used and purged: $(basename -a "${debs[@]}" | tr '\n' ' ')" >&2
