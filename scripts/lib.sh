# Shared by the project's scripts: installing what is missing, logging.
# Sourced, not run.

log() { printf '\n==> %s\n' "$*" >&2; }

# Installs the Debian packages that are not installed yet (as root, or with
# sudo when there is one). apt-get update runs at most once per process tree.
# Both wait up to ten minutes for a lock held by another apt or dpkg (a fresh
# machine runs its own updates at boot) instead of failing at once.
need_pkgs() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  log "installing ${missing[*]}"
  if [ -z "${MPREAD_APT_UPDATED:-}" ]; then
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    export MPREAD_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}

# What every build needs.
need_build_deps() {
  need_pkgs build-essential cmake pkg-config libglib2.0-dev libgtest-dev \
    googletest
}

jobs() { nproc 2>/dev/null || echo 2; }

# The host build the unit and end-to-end stages share (warnings as errors);
# the second stage finds it built.
host_build=build/ci-host
build_host() {
  cmake -S . -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPREAD_WERROR=ON >/dev/null
  cmake --build "$host_build" -j"$(jobs)"
}
