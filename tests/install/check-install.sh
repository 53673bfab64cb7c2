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
for h in mpread.h mpread/intake.h mpread/reqinfo.h; do
  [ -f "$prefix/include/$h" ] || fail "header $h not installed"
done
[ ! -e "$prefix/include/intake.h" ] && [ ! -e "$prefix/include/reqinfo.h" ] ||
  fail "a component's header installed at the top of include/"
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
[ "$(pkg-config --modversion mpread)" = "$version" ] || fail "pkg-config --modversion mpread"
flags=$(pkg-config --cflags --libs mpread) || fail "pkg-config --cflags --libs mpread"
for want in "-I$prefix/include" "-I$prefix/include/mpread" "-L$libdir" -lmpread -lglib-2.0 \
            "$(pkg-config --cflags-only-I glib-2.0 | cut -d' ' -f1)"; do
  [[ " $flags " == *" $want "* ]] || fail "pkg-config --cflags --libs mpread lacks $want: $flags"
done
# A program of mpread.h alone links the reader alone; the components are
# the reader's own needs, named for static links, and keep their .pc files.
static=$(pkg-config --static --libs mpread)
for lib in -lintake -lreqinfo; do
  [[ " $flags " != *" $lib "* && " $static " == *" $lib "* ]] || fail "pkg-config --libs mpread: $flags; --static: $static"
done
components=$(pkg-config --cflags --libs intake reqinfo)
[[ $components == "-I$prefix/include/mpread "*" -L$libdir -lintake -lreqinfo -lglib-2.0"* ]] ||
  fail "pkg-config --cflags --libs intake reqinfo: $components"
# As the README says for a prefix the dynamic linker does not search.
rpath=-Wl,-rpath,$(pkg-config --variable=libdir mpread)

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
# shellcheck disable=SC2046
if "$cc" -Wall -Wextra -Werror -o "$work/man-example" "$work/man-example.c" \
     $(pkg-config --cflags --libs mpread) "$rpath"; then
  out=$(run_cgi "$work/man-example" 2>&1 | tr -d '\r')
  want=$'Content-Type: text/plain\n\ntitle: 5 bytes
part skipped: Form data part contains a invalid filename\nup: 10000 bytes'
  [ "$out" = "$want" ] || fail "the manual's example printed: $out"
else
  fail "the manual's example does not compile against the staged install"
fi

# A dropped result is a compiler warning, for each function that has one.
for call in 'mpread_init(NULL)' 'mpread_get_next_part(NULL, NULL)' \
            'mpread_get_part_buffer(NULL, 0, NULL, NULL)' 'mpread_write_part_to_file(0, NULL)'; do
  printf '#include <mpread.h>\nvoid f(void);\nvoid f(void) { %s; }\n' "$call" >"$work/drop.c"
  # shellcheck disable=SC2046
  "$cc" -c -Werror=unused-result -o "$work/drop.o" "$work/drop.c" \
    $(pkg-config --cflags mpread) 2>/dev/null && fail "no warning for a dropped $call"
done

# --- the installed handler, started as a server would: its RUNPATH finds
# the prefix's libraries, and theirs each other.
if [ -n "$handler_built" ]; then
  run_cgi env MPREAD_UPLOAD_DIR="$work/uploads" "$prefix/bin/mpread-upload" >"$work/handler.out" 2>&1 &&
    [ "$(cat "$work/uploads/a.txt")" = "$x10000" ] ||
    fail "installed mpread-upload did not store a.txt whole: $(cat "$work/handler.out")"
fi

# --- find_package(mpread)
if cmake -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" \
     -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 &&
   cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
  out=$(run_cgi "$work/consumer/consumer")
  [ "$out" = "first part: title" ] || fail "find_package consumer printed: $out"
else
  fail "find_package(mpread) consumer does not build:"; cat "$work/consumer.log" >&2
fi

# --- manual pages: the page and one name per function
for fn in mpread_init mpread_release mpread_get_next_part mpread_release_part \
          mpread_get_part_buffer mpread_write_part_to_file; do
  [ -f "$prefix/share/man/man3/$fn.3" ] || fail "no page for $fn"
  command -v man >/dev/null || continue
  page=$(MANPATH=$prefix/share/man MANWIDTH=80 man -P cat "$fn" 2>&1)
  [[ $page == "MPREAD(3)"* ]] || fail "man $fn: $(head -n 1 <<<"$page")"
done

[ $failures -eq 0 ] && echo "staged install in $prefix works"
[ $failures -eq 0 ]
