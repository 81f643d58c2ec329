#!/usr/bin/env bash
# Sets up, builds and then starts Kestrelon Chat ("run") or runs every test ("test";
# further arguments go to ctest, e.g. "test --schedule-random").
# "test-asan" runs every test in a second tree built with AddressSanitizer and
# UndefinedBehaviorSanitizer (KC_BUILD_DIR defaults to build-asan there);
# "fuzz [SECONDS]" builds the fuzz targets with clang and runs each briefly.
# Works on a fresh Debian 12 machine as root or with sudo.
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
default_build_dir=build
[ "$mode" = test-asan ] && default_build_dir=build-asan
build_dir=${KC_BUILD_DIR:-$default_build_dir}
# desktop-file-utils, appstream, dpkg-dev and file: the tests that validate the
# desktop entry and metainfo and build the .deb (cpack -G DEB). libssl-dev:
# OpenSSL, for TLS between our programs. tcpdump: the virtual-LAN test that
# captures the bridge and looks for plain text. dbus, xvfb, dunst and systemd
# (busctl, for dunstctl): the test of notices through a real notification
# service on a private session bus. avahi-daemon and avahi-utils: the
# virtual-LAN test of DNS-SD runs a daemon per host on a bus of its own and
# reads the record with avahi-browse as a witness (nothing starts the
# machine's own daemon; the program announces through it where it runs).
# qt6-translations-l10n: Qt's German texts for the standard dialogs.
# libicu-dev: ICU, whose Unicode data (UTS #39 confusables and scripts, NFKC,
# default-ignorable characters) decides which user names look alike.
# fonts-noto-color-emoji and fonts-noto-cjk: emoji and Chinese, Japanese and
# Korean drawn as glyphs, not boxes, in the tests and screenshots (the package
# recommends them for the same reason). libsqlite3-dev: SQLite with FTS5, for
# the search index of the chat logs ("Verlauf durchsuchen").
packages=(build-essential cmake qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libssl-dev libicu-dev libsqlite3-dev iproute2 util-linux
          fonts-dejavu-core fonts-noto-color-emoji fonts-noto-cjk desktop-file-utils appstream dpkg-dev file tcpdump
          dbus xvfb dunst systemd avahi-daemon avahi-utils)
# Only the fuzz mode needs clang and libFuzzer.
fuzz_packages=(clang-16 libclang-rt-16-dev)
# The tests with real IRC programs: ngircd (the reference server of the relay
# benchmark and of the harnesses' own check), irssi and weechat-headless as
# IRC users, and The Lounge opened in Debian's headless Chromium through
# selenium. npm fetches The Lounge (and the Node.js it needs) into the build
# folder; where Node.js and npm are already installed, Debian's npm is not.
test_packages=(ngircd irssi weechat-headless weechat-plugins tmux chromium chromium-driver python3-selenium imagemagick)

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

# The Lounge for the browser test, once per build folder. Without the npm
# registry the browser test is skipped, and this says so.
setup_lounge() {
  if ! command -v npm >/dev/null 2>&1; then
    packages=(npm)
    install_missing || echo "note: npm could not be installed" >&2
  fi
  if ! tests/browser/setup-lounge.sh "$build_dir/thelounge"; then
    echo "note: The Lounge could not be installed from the npm registry; the browser test (ctest -L browser) will be skipped" >&2
  fi
}

build() {
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
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
    packages+=("${test_packages[@]}")
    install_missing
    build
    setup_lounge
    exec tools/run-tests.sh "$build_dir" -j"$(nproc)" "${@:2}"
    ;;
  test-asan)
    packages+=("${test_packages[@]}")
    install_missing
    build -DKC_SANITIZE=ON
    setup_lounge
    # Any finding ends the test with a report. Leak checking is off here: the
    # windows live until the process ends, by design, and Qt keeps its own
    # caches to the end; the fuzz targets check the pure cores for leaks.
    export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    exec tools/run-tests.sh "$build_dir" -j"$(nproc)" "${@:2}"
    ;;
  fuzz)
    packages+=("${fuzz_packages[@]}")
    install_missing
    exec tools/run-fuzzers.sh "${2:-20}"
    ;;
  *)
    echo "usage: $0 run | test [CTEST_ARGS...] | test-asan [CTEST_ARGS...] | fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
