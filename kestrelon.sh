#!/usr/bin/env bash
# Sets up, builds and then starts Kestrelon Chat ("run") or runs every test ("test").
# Works on a fresh Debian 12 machine as root or with sudo.
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
build_dir=${KC_BUILD_DIR:-build}
# desktop-file-utils, appstream, dpkg-dev and file: the tests that validate the
# desktop entry and metainfo and build the .deb (cpack -G DEB).
packages=(build-essential cmake qt6-base-dev qt6-qpa-plugins iproute2 util-linux fonts-dejavu-core
          desktop-file-utils appstream dpkg-dev file)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j"$(nproc)"
}

case "$mode" in
  run)
    install_missing
    build
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
      echo "note: no desktop display found (DISPLAY is not set); the program needs one" >&2
    fi
    exec "$build_dir/app/kestrelon-chat"
    ;;
  test)
    install_missing
    build
    exec tools/run-tests.sh "$build_dir" -j"$(nproc)"
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
