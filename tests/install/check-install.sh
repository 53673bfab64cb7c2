#!/usr/bin/env bash
# Installs the build tree into a staging prefix and uses it as a stranger
# would: headers, sonames and their links, pkg-config, find_package, the
# manual pages, and programs built against the staged copy only. Nothing
# runs with LD_LIBRARY_PATH: the installed handler finds the libraries
# through its RUNPATH, programs built with pkg-config through the -rpath
# flag the README gives for a private prefix. A private prefix is where a
# path written into a file at build time shows: the packages' /usr hides it.
#   check-install.sh BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER VERSION [HANDLER]
set -uo pipefail
build=$1 src=$2 work=$3 cc=$4 version=$5 handler_built=${6:-}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
rm -rf "$work" && mkdir -p "$work" || exit 1
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { fail "cmake --install"; exit 1; }

# --- headers, libraries, links
# The components' generic names go in a folder of the project's.
headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./mpread.h ./mpread/intake.h ./mpread/reqinfo.h " ] || fail "headers installed: $headers"
pcdir=$(find "$prefix" -path '*/pkgconfig/mpread.pc' -printf '%h\n' | head -n 1)
[ -n "$pcdir" ] || { fail "mpread.pc not installed"; exit 1; }
libdir=$(dirname "$pcdir")
for lib in intake reqinfo mpread; do
  real=lib$lib.so.$version
  [ "$(readlink "$libdir/lib$lib.so")" = "lib$lib.so.0" ] && [ "$(readlink "$libdir/lib$lib.so.0")" = "$real" ] &&
    readelf -d "$libdir/$real" | grep -q "(SONAME).*\[lib$lib.so.0\]" ||
    fail "lib$lib.so -> lib$lib.so.0 -> $real (its soname) not installed as such"
done

# --- pkg-config: the staged .pc files alone, GLib's from the system
export PKG_CONFIG_PATH=$pcdir
# The manual's example below is built with the rest of what it gives. A
# program of mpread.h alone links the reader alone: the components are the
# reader's own needs, for static links.
flags=$(pkg-config --cflags --libs mpread)
[[ " $flags " == *" -I$prefix/include/mpread "* && " $flags " != *" -lintake "* && " $flags " != *" -lreqinfo "* ]] ||
  fail "pkg-config --cflags --libs mpread: $flags (the components' folder, not their libraries)"

# --- programs built with pkg-config only, run on a sample request
# A file input left empty, as every browser sends it: the walk goes on.
body=$work/request.body
x10000=$(printf 'x%.0s' $(seq 10000))
printf -- '--XyZ\r\nContent-Disposition: form-data; name="%s"%s\r\n%b\r\n%s\r\n' \
  title '' '' hello none '; filename=""' 'Content-Type: application/octet-stream\r\n' '' \
  up '; filename="a.txt"' 'Content-Type: text/plain\r\n' "$x10000" >"$body"
printf -- '--XyZ--\r\n' >>"$body"
run_cgi() { # program [args]: the sample request, no library path
  env -i PATH="$PATH" REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=XyZ' \
    CONTENT_LENGTH="$(stat -c %s "$body")" "$@" <"$body"
}

# The manual's example, as a reader would copy it out of the page.
awk '/^\.SH EXAMPLES/ { on = 1 } on && /^\.fi/ { exit } on && go && !/^\.R[SE]/ { print }
     on && /^\.nf/ { go = 1 }' "$src/man/mpread.3" |
  sed -e 's/\\-/-/g' -e 's/\\e/\\/g' >"$work/man-example.c"
# As the README says for a prefix the dynamic linker does not search.
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -o "$work/man-example" "$work/man-example.c" $(pkg-config --cflags --libs mpread) \
  -Wl,-rpath,"$(pkg-config --variable=libdir mpread)" || fail "the manual's example does not compile"
out=$(run_cgi "$work/man-example" 2>&1 | tr -d '\r')
want=$'Content-Type: text/plain\n\ntitle: 5 bytes
part skipped: Form data part contains a invalid filename\nup: 10000 bytes'
[ "$out" = "$want" ] || fail "the manual's example printed: $out"

# --- the installed handler, started as a server would: its RUNPATH finds
# the prefix's libraries, and theirs each other.
if [ -n "$handler_built" ]; then
  run_cgi env MPREAD_UPLOAD_DIR="$work/uploads" "$prefix/bin/mpread-upload" >"$work/handler.out" 2>&1 &&
    [ "$(cat "$work/uploads/a.txt")" = "$x10000" ] ||
    fail "installed mpread-upload did not store a.txt whole: $(cat "$work/handler.out")"
fi

# --- find_package(mpread)
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/consumer.log" 2>&1 && cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || cat "$work/consumer.log" >&2
out=$(run_cgi "$work/consumer/consumer" 2>&1)
[ "$out" = "first part: title" ] || fail "the find_package(mpread) consumer printed: $out"

# --- manual pages: each function mpread.h declares has a name opening mpread(3)
for fn in $(sed -nE 's/^MPREAD_API [^(]*[ *](mpread_[a-z_]+)\(.*/\1/p' "$src/include/mpread.h"); do
  [ "$(cat "$prefix/share/man/man3/$fn.3")" = ".so man3/mpread.3" ] || fail "no page $fn(3) opening mpread(3)"
done

[ $failures -eq 0 ] && echo "staged install in $prefix works"
[ $failures -eq 0 ]
