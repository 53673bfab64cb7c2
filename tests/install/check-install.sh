#!/usr/bin/env bash
# Installs the build tree into a staging prefix and uses it as a stranger
# would: headers, sonames and their links, pkg-config, find_package, the
# manual pages, and programs built against the staged copy only. Nothing
# runs with LD_LIBRARY_PATH: the installed handler finds the libraries
# through its RUNPATH, programs built with pkg-config through the -rpath
# flag the README gives for a private prefix.
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
for h in intake.h reqinfo.h; do
  [ ! -e "$prefix/include/$h" ] || fail "$h installed at the top of include/"
done
pcdir=$(find "$prefix" -path '*/pkgconfig/mpread.pc' -printf '%h\n' | head -n 1)
[ -n "$pcdir" ] || { fail "mpread.pc not installed"; exit 1; }
libdir=$(dirname "$pcdir")
for lib in intake reqinfo mpread; do
  real=lib$lib.so.$version
  if [ ! -f "$libdir/$real" ] || [ -L "$libdir/$real" ]; then fail "$real missing"; fi
  [ "$(readlink "$libdir/lib$lib.so.0")" = "$real" ] || fail "lib$lib.so.0 is no link to $real"
  [ "$(readlink "$libdir/lib$lib.so")" = "lib$lib.so.0" ] || fail "lib$lib.so is no link to lib$lib.so.0"
  readelf -d "$libdir/$real" | grep -q "(SONAME).*\[lib$lib.so.0\]" || fail "$real: soname"
done

# --- pkg-config: the staged .pc files alone, GLib's from the system
export PKG_CONFIG_PATH=$pcdir
[ "$(pkg-config --modversion mpread)" = "$version" ] || fail "pkg-config --modversion mpread"
[ "$(pkg-config --variable=prefix mpread)" = "$prefix" ] ||
  fail "mpread.pc names prefix $(pkg-config --variable=prefix mpread), not the staging prefix"
flags=$(pkg-config --cflags --libs mpread) || fail "pkg-config --cflags --libs mpread"
for want in "-I$prefix/include" "-I$prefix/include/mpread" "-L$libdir" -lmpread -lglib-2.0 \
            "$(pkg-config --cflags-only-I glib-2.0 | cut -d' ' -f1)"; do
  [[ " $flags " == *" $want "* ]] || fail "pkg-config --cflags --libs mpread lacks $want: $flags"
done
# A program of mpread.h alone links the reader alone; the components are
# the reader's own needs, named for static links, and keep their .pc files.
for lib in -lintake -lreqinfo; do
  [[ " $flags " != *" $lib "* ]] || fail "pkg-config --libs mpread links $lib: $flags"
  [[ " $(pkg-config --static --libs mpread) " == *" $lib "* ]] ||
    fail "pkg-config --static --libs mpread lacks $lib"
done
components=$(pkg-config --libs intake reqinfo)
[ "${components% }" = "-L$libdir -lintake -lreqinfo -lglib-2.0" ] ||
  fail "pkg-config --libs intake reqinfo: $components"
for pc in intake reqinfo; do
  [[ " $(pkg-config --cflags $pc) " == *" -I$prefix/include/mpread "* ]] ||
    fail "pkg-config --cflags $pc: $(pkg-config --cflags $pc)"
done
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
length=$(stat -c %s "$body")
run_cgi() { # program [args]: the sample request, no library path
  env -i PATH="$PATH" REQUEST_METHOD=POST \
    CONTENT_TYPE='multipart/form-data; boundary=XyZ' \
    CONTENT_LENGTH="$length" "$@" <"$body"
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
  handler=$prefix/bin/mpread-upload
  if [ ! -x "$handler" ]; then
    fail "bin/mpread-upload not installed"
  elif ! run_cgi env MPREAD_UPLOAD_DIR="$work/uploads" "$handler" \
         >"$work/handler.out" 2>&1; then
    fail "installed mpread-upload failed: $(cat "$work/handler.out")"
  elif [ "$(cat "$work/uploads/a.txt")" != "$x10000" ]; then
    fail "installed mpread-upload did not store a.txt whole: $(cat "$work/handler.out")"
  fi
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
man3=$prefix/share/man/man3
[ -f "$man3/mpread.3" ] || fail "mpread.3 not installed"
for fn in mpread_init mpread_release mpread_get_next_part mpread_release_part \
          mpread_get_part_buffer mpread_write_part_to_file; do
  [ -f "$man3/$fn.3" ] || { fail "no page for $fn"; continue; }
  if command -v man >/dev/null; then
    page=$(MANPATH=$prefix/share/man MANWIDTH=80 man -P cat "$fn" 2>&1) || fail "man $fn: $page"
    [[ $page == "MPREAD(3)"* ]] || fail "man $fn shows another page: $(head -n 1 <<<"$page")"
  fi
done

[ $failures -eq 0 ] && echo "staged install in $prefix works"
[ $failures -eq 0 ]
