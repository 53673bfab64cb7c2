#!/usr/bin/env bash
# The upload demo: installs what is missing, builds mpread-upload and serves
# the upload page on http://127.0.0.1:8080/ until Ctrl-C.
#   scripts/demo.sh              under busybox httpd
#   scripts/demo.sh --lighttpd   under lighttpd
# Environment:
#   MPREAD_DEMO_PORT     port on 127.0.0.1 (8080)
#   MPREAD_UPLOAD_DIR    where uploads are stored (uploads/ in the repository,
#                        outside the page's folder)
#   MPREAD_UPLOAD_*      the handler's other settings (limits, timeouts):
#                        passed on to it under either server
#   MPREAD_DEMO_SITE     folder the page is laid out in (build/demo/www)
#   MPREAD_DEMO_HANDLER  an mpread-upload already built: nothing is
#                        installed or built (the end-to-end tests use this)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"

server=busybox
case "${1:-}" in
  "" | --busybox) ;;
  --lighttpd) server=lighttpd ;;
  *) echo "usage: $0 [--busybox | --lighttpd]" >&2; exit 2 ;;
esac
port=${MPREAD_DEMO_PORT:-8080}
uploads=${MPREAD_UPLOAD_DIR:-$root/uploads}
site=${MPREAD_DEMO_SITE:-$root/build/demo/www}

if [ -n "${MPREAD_DEMO_HANDLER:-}" ]; then
  handler=$(realpath "$MPREAD_DEMO_HANDLER")
else
  need_build_deps
  if [ $server = busybox ]; then need_pkgs busybox curl; else need_pkgs lighttpd curl; fi
  log "building mpread-upload"
  cmake -S "$root" -B "$root/build/demo" -DCMAKE_BUILD_TYPE=Release \
    -DMPREAD_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build/demo" -j"$(jobs)" --target mpread-upload >/dev/null
  handler=$root/build/demo/programs/mpread-upload/mpread-upload
fi
[ -x "$handler" ] || { echo "no mpread-upload at $handler" >&2; exit 1; }

# The web root: the page from examples/demo and the handler as a CGI program.
rm -rf "$site"
mkdir -p "$site/cgi-bin" "$uploads"
uploads=$(realpath "$uploads")
for f in index.html upload.js style.css; do
  ln -s "$root/examples/demo/$f" "$site/$f"
done
ln -s "$handler" "$site/cgi-bin/mpread-upload"

export MPREAD_UPLOAD_DIR=$uploads
if [ $server = busybox ]; then
  busybox httpd -f -p "127.0.0.1:$port" -h "$site" \
    -c "$root/examples/demo/busybox-httpd.conf" &
else
  # lighttpd gives CGI programs a fresh environment: settings beyond the
  # folder are added to the example configuration in a file beside the site.
  conf=$root/examples/demo/lighttpd.conf
  settings=$(env | grep -E '^MPREAD_UPLOAD_[A-Z_]+=' | grep -v '^MPREAD_UPLOAD_DIR=' || true)
  if [ -n "$settings" ]; then
    conf=$site-lighttpd.conf
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
fi
server_pid=$!

stop() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  echo "demo stopped" >&2
  exit 0
}
trap stop INT TERM

url=http://127.0.0.1:$port/
for _ in $(seq 100); do
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
