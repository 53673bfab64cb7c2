#!/usr/bin/env bash
# The upload demo: installs what is missing, builds mpread-upload and serves
# the upload page on http://127.0.0.1:8080/ until Ctrl-C.
#   scripts/demo.sh              under busybox httpd
#   scripts/demo.sh --lighttpd   under lighttpd
#   scripts/demo.sh --apache     under Apache 2.4 (event MPM, mod_cgid), an
#                                instance of its own beside any system one
#   scripts/demo.sh --nginx      under nginx, with fcgiwrap running the handler
# Environment:
#   MPREAD_DEMO_PORT     port on 127.0.0.1 (8080)
#   MPREAD_UPLOAD_DIR    where uploads are stored (uploads/ in the repository,
#                        outside the page's folder)
#   MPREAD_UPLOAD_*      the handler's other settings (limits, timeouts):
#                        passed on to it under either server
#   MPREAD_DEMO_SITE     folder the page is laid out in (build/demo/www); the
#                        server's pid files, logs and generated configuration
#                        go beside it, in www-run
#   MPREAD_DEMO_HANDLER  an mpread-upload already built: nothing is
#                        installed or built (the end-to-end tests use this)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"

server=busybox pkgs=busybox
case "${1:-}" in
  "" | --busybox) ;;
  --lighttpd) server=lighttpd pkgs=lighttpd ;;
  --apache) server=apache pkgs=apache2 ;;
  --nginx) server=nginx pkgs="nginx fcgiwrap" ;;
  *) echo "usage: $0 [--busybox | --lighttpd | --apache | --nginx]" >&2; exit 2 ;;
esac
port=${MPREAD_DEMO_PORT:-8080}
uploads=${MPREAD_UPLOAD_DIR:-$root/uploads}
site=${MPREAD_DEMO_SITE:-$root/build/demo/www}

if [ -n "${MPREAD_DEMO_HANDLER:-}" ]; then
  handler=$(realpath "$MPREAD_DEMO_HANDLER")
else
  need_build_deps
  # shellcheck disable=SC2086 # one word per package
  need_pkgs $pkgs curl
  log "building mpread-upload"
  cmake -S "$root" -B "$root/build/demo" -DCMAKE_BUILD_TYPE=Release \
    -DMPREAD_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build/demo" -j"$(jobs)" --target mpread-upload >/dev/null
  handler=$root/build/demo/programs/mpread-upload/mpread-upload
fi
[ -x "$handler" ] || { echo "no mpread-upload at $handler" >&2; exit 1; }

# The web root: the page from examples/demo and the handler as a CGI program.
run=$site-run
rm -rf "$site" "$run"
mkdir -p "$site/cgi-bin" "$uploads" "$run"
uploads=$(realpath "$uploads")
for f in index.html upload.js style.css; do
  ln -s "$root/examples/demo/$f" "$site/$f"
done
ln -s "$handler" "$site/cgi-bin/mpread-upload"

export MPREAD_UPLOAD_DIR=$uploads
# Settings beyond the folder, NAME=value a line: each server passes them on
# its own way.
settings=$(env | grep -E '^MPREAD_UPLOAD_[A-Z_]+=' | grep -v '^MPREAD_UPLOAD_DIR=' || true)
# Started as root, Apache runs CGI programs as www-data (it refuses root),
# and fcgiwrap is started as www-data to match: the handler's user must own
# the upload folder.
as_www=()
if [ "$(id -u)" = 0 ] && [[ $server == apache || $server == nginx ]]; then
  chown www-data: "$uploads" "$run"
  as_www=(setpriv --reuid=www-data --regid=www-data --clear-groups)
fi
fcgiwrap_pid=""
case $server in
  busybox)
    busybox httpd -f -p "127.0.0.1:$port" -h "$site" \
      -c "$root/examples/demo/busybox-httpd.conf" &
    ;;
  lighttpd)
    # lighttpd gives CGI programs a fresh environment: settings beyond the
    # folder are added to the example configuration in a file of its own.
    conf=$root/examples/demo/lighttpd.conf
    if [ -n "$settings" ]; then
      conf=$run/lighttpd.conf
      {
        printf 'include "%s"\n' "$root/examples/demo/lighttpd.conf"
        printf '$HTTP["url"] =^ "/cgi-bin/" {\n  setenv.add-environment += (\n'
        while IFS='=' read -r name value; do
          value=${value//\\/\\\\}
          printf '    "%s" => "%s",\n' "$name" "${value//\"/\\\"}"
        done <<<"$settings"
        printf '  )\n}\n'
      } >"$conf"
    fi
    MPREAD_DEMO_ROOT=$site MPREAD_DEMO_PORT=$port lighttpd -D -f "$conf" &
    ;;
  apache)
    passenv=()
    while IFS='=' read -r name _; do
      [ -z "$name" ] || passenv+=(-c "PassEnv $name")
    done <<<"$settings"
    MPREAD_DEMO_ROOT=$site MPREAD_DEMO_PORT=$port MPREAD_DEMO_RUN=$run \
      apache2 -f "$root/examples/demo/apache.conf" -DFOREGROUND "${passenv[@]}" &
    ;;
  nginx)
    # nginx reads no environment: the template's @...@ words are filled in.
    params=""
    while IFS='=' read -r name value; do
      value=${value//\\/\\\\}
      [ -z "$name" ] || params+="fastcgi_param $name \"${value//\"/\\\"}\";"$'\n      '
    done <<<"$settings"
    conf=$(<"$root/examples/demo/nginx.conf")
    conf=${conf//@RUN@/"$run"}
    conf=${conf//@ROOT@/"$site"}
    conf=${conf//@PORT@/"$port"}
    conf=${conf//@UPLOAD_DIR@/"$uploads"}
    printf '%s\n' "${conf//"# @SETTINGS@"/"$params"}" >"$run/nginx.conf"
    # A process group of its own: its workers outlive a parent stopped alone.
    # An empty environment, as its service has: the settings must come as
    # parameters.
    setsid env -i PATH="$PATH" "${as_www[@]}" fcgiwrap -s "unix:$run/fcgiwrap.sock" -c 4 &
    fcgiwrap_pid=$!
    nginx_user=""
    [ ${#as_www[@]} = 0 ] || nginx_user="user www-data;"
    nginx -p "$run" -e "$run/error.log" -c "$run/nginx.conf" -g "daemon off; $nginx_user" &
    ;;
esac
server_pid=$!

end_servers() {
  kill "$server_pid" 2>/dev/null || true
  [ -z "$fcgiwrap_pid" ] || kill -- "-$fcgiwrap_pid" 2>/dev/null || true
}
stop() {
  end_servers
  wait 2>/dev/null || true
  echo "demo stopped" >&2
  exit 0
}
trap stop INT TERM
trap end_servers EXIT

url=http://127.0.0.1:$port/
for _ in $(seq 100); do
  # nginx serves the page before fcgiwrap may be listening.
  [ -z "$fcgiwrap_pid" ] || [ -S "$run/fcgiwrap.sock" ] &&
    curl -fsS -o /dev/null "$url" 2>/dev/null && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "$server did not start (is port $port taken? set MPREAD_DEMO_PORT)" >&2
    exit 1
  fi
  sleep 0.1
done

cat <<EOF

Upload demo ($server) serving $url
Uploads are stored in $uploads
Press Ctrl-C to stop.
EOF
# wait returns early when a signal arrives, so the trap runs at once.
wait "$server_pid"
