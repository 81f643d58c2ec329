#!/usr/bin/env bash
# Restart benchmark: a headless chat server with a full room of client
# sessions is killed with SIGKILL and started again; prints how long the room
# takes to fill again (against its first fill) and the delay of live lines
# before and after. Inside a private network namespace with only loopback.
# Run by hand, as root or with user namespaces:
#
#   bench/restart.sh [BUILD_DIR [CLIENTS [LINES]]]   (default: build-release, 100, 200)
#   KC_BENCH_RUNS=N   runs (default 3); each prints its own figures
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$here/build-release}
clients=${2:-100}
lines=${3:-200}

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build_dir" -j2 --target kestrelon-chat bench_restart >/dev/null
  build_dir=$(cd "$build_dir" && pwd)
  flags=(--net)
  [ "$(id -u)" -ne 0 ] && flags=(--user --map-root-user --net)
  exec unshare "${flags[@]}" env KC_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' bash "$0" "$build_dir" "$clients" "$lines"
fi

# The server announces nothing: no system bus here.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent QT_QPA_PLATFORM=offscreen
program=$build_dir/app/kestrelon-chat
status=0
for run in $(seq "${KC_BENCH_RUNS:-3}"); do
  echo "== run $run"
  "$build_dir/bench/bench_restart" "$program" "$clients" "$lines" || status=1
done
exit $status
