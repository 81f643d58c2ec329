#!/usr/bin/env bash
# Relay benchmark: our chat server (the real server window) against Debian's
# ngircd under the same load, inside a private network namespace with only
# loopback. Run by hand, as root or with user namespaces:
#
#   bench/relay.sh [BUILD_DIR]      (default: build-release, built Release here)
#   KC_BENCH_HEADLESS=1 bench/relay.sh ...   our server without its window
#   KC_BENCH_SECONDS=N                       length of each phase (default 5)
#   KC_BENCH_RUNS=N                          runs; each cell is their median (default 3)
#   KC_BENCH_IN_FLIGHT=K                     lines each sender keeps in flight when
#                                            saturating (default 1)
#   KC_BENCH_TLS_ONLY=1 bench/relay.sh ...   only framed against encrypted framed
#                                            members, without ngircd
#   KC_BENCH_IRC=1 bench/relay.sh ...        IRC members on both sides: the same
#                                            generator talks IRC to our server's IRC
#                                            port (headless unless KC_BENCH_HEADLESS=0)
#                                            and to ngircd. A program without an IRC
#                                            port is told so, and a second ngircd
#                                            stands in for it, which shows the
#                                            harness working (ratios near 1).
#
# The three modes of our server (legacy, framed, framed inside TLS) against ngircd,
# three runs, medians: saturation with 10, 50 and 100 members, then 100 and
# 1,000 lines/s over 100 members. About ten minutes in all. Prints one table
# with ratios.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$here/build-release}
seconds=${KC_BENCH_SECONDS:-5}

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  if [ -z "${1:-}" ]; then
    cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build_dir" -j2 --target kestrelon-chat bench_relay >/dev/null
  if [ "${KC_BENCH_TLS_ONLY:-}" != 1 ] && ! command -v ngircd >/dev/null 2>&1 && [ ! -x /usr/sbin/ngircd ]; then
    echo "installing ngircd (reference server)..." >&2
    apt-get install -y ngircd >/dev/null
  fi
  build_dir=$(cd "$build_dir" && pwd)
  exec unshare --net env KC_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' bash "$0" "$build_dir"
fi

work=$(mktemp -d)
# The servers keep their keys in this run's folder and announce nothing.
export XDG_DATA_HOME=$work/data DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ours_port=15757
irc_port=16667
ours_irc_port=16668

# Our program's IRC port, if it has one.
ours_speaks_irc() { "$build_dir/app/kestrelon-chat" --help 2>/dev/null | grep -q -- '--irc-port'; }
[ "${KC_BENCH_IRC:-}" = 1 ] && [ -z "${KC_BENCH_HEADLESS:-}" ] && KC_BENCH_HEADLESS=1
# Every member comes from 127.0.0.1: the per-address limit is off, as ngircd's is.
irc_args=(--users-per-address 0)
if [ "${KC_BENCH_IRC:-}" = 1 ] && ours_speaks_irc; then
  # No flood control: the generator floods on purpose, as it does ngircd
  # (MaxPenaltyTime = 0 below).
  irc_args+=(--irc-port "$ours_irc_port" --irc-tls-port 0 --irc-flood 0)
fi

if [ "${KC_BENCH_HEADLESS:-}" = 1 ]; then
  # The relay path alone, without the window's views: what the window
  # version can reach once its views cost nothing.
  "$build_dir/app/kestrelon-chat" --headless --port "$ours_port" "${irc_args[@]}" >"$work/ours.log" 2>&1 &
  echo "our server: headless (--headless), no window" >&2
elif command -v Xvfb >/dev/null 2>&1; then
  Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=:77 QT_QPA_PLATFORM=xcb
  sleep 1
  echo "our server: server window under Xvfb" >&2
else
  export QT_QPA_PLATFORM=offscreen
  echo "our server: server window on the offscreen platform (no Xvfb)" >&2
fi
if [ "${KC_BENCH_HEADLESS:-}" != 1 ]; then
  "$build_dir/app/kestrelon-chat" --server --port "$ours_port" "${irc_args[@]}" >"$work/ours.log" 2>&1 &
fi
ours_pid=$!
pids+=($ours_pid)

if [ "${KC_BENCH_TLS_ONLY:-}" = 1 ]; then
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/$ours_port) 2>/dev/null && break
    sleep 0.1
  done
  timeout 1500 "$build_dir/bench/bench_relay" --ours "$ours_port:$ours_pid" --tls-only \
    --seconds "$seconds" --runs "${KC_BENCH_RUNS:-3}"
  exit
fi

ngircd_conf() { # folder port
  mkdir -p "$1"
  cat >"$1/ngircd.conf" <<EOF
[Global]
Name = bench.irc
Info = relay benchmark
Listen = 127.0.0.1
Ports = $2
PidFile = $1/ngircd.pid
MotdPhrase = bench
[Limits]
MaxConnections = 0
MaxConnectionsIP = 0
MaxJoins = 0
MaxNickLength = 14
MaxPenaltyTime = 0
PingTimeout = 600
PongTimeout = 600
[Options]
DNS = no
Ident = no
PAM = no
ConnectIPv6 = no
EOF
}
ngircd_conf "$work/irc" "$irc_port"
ngircd=$(command -v ngircd || echo /usr/sbin/ngircd)
"$ngircd" -n -f "$work/irc/ngircd.conf" >"$work/irc.log" 2>&1 &
irc_pid=$!
pids+=($irc_pid)

if [ "${KC_BENCH_IRC:-}" = 1 ]; then
  target=(--irc-ours "$ours_irc_port:$ours_pid")
  if ! ours_speaks_irc; then
    echo "NOTE: this build of kestrelon-chat has no IRC port (--irc-port); a second ngircd" >&2
    echo "      stands in for our server, so the table shows the harness, not our server." >&2
    ngircd_conf "$work/irc2" "$ours_irc_port"
    "$ngircd" -n -f "$work/irc2/ngircd.conf" >"$work/irc2.log" 2>&1 &
    pids+=($!)
    target=(--irc-ours "$ours_irc_port:$!" --irc-channel "#bench")
  fi
  for port in $ours_port $irc_port $ours_irc_port; do
    for _ in $(seq 100); do
      (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
      sleep 0.1
    done
  done
  timeout 1500 "$build_dir/bench/bench_relay" "${target[@]}" --ours "$ours_port:$ours_pid" --irc "$irc_port:$irc_pid" \
    --seconds "$seconds" --runs "${KC_BENCH_RUNS:-3}" --in-flight "${KC_BENCH_IN_FLIGHT:-1}"
  exit
fi

for port in $ours_port $irc_port; do
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
    sleep 0.1
  done
done

# Nothing may run on past the bound, whatever hangs.
timeout 1500 "$build_dir/bench/bench_relay" --ours "$ours_port:$ours_pid" --irc "$irc_port:$irc_pid" --seconds "$seconds" --runs "${KC_BENCH_RUNS:-3}" \
  --in-flight "${KC_BENCH_IN_FLIGHT:-1}"
