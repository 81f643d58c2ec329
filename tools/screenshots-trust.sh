#!/usr/bin/env bash
# Makes docs/key-warning.png and docs/key-warning-desktop.png: a client is in
# the room when its server restarts with another key; the client comes back
# by itself and asks. The second picture is the whole screen: the client
# window behind the box shows neither a lock nor the new fingerprint.
#
#   tools/screenshots-trust.sh BUILD_DIR     (KC_SHOT_DISPLAY=:N picks the display, :81 by default)
#
# Needs what tools/screenshots.sh needs. Runs in a private network namespace
# with only loopback; the keys and the client's remembered servers live in
# this run's folder.
set -euo pipefail
shot_display=:81
. "$(dirname "$0")/shotsetup.sh"

serve() { # key file
  "$program" --headless --port 5757 --key "$1" >>"$work/server.log" 2>&1 &
  server=$!
  pids+=($server)
  for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/5757) 2>/dev/null && break; sleep 0.1; done
}
join() {
  xdotool windowactivate --sync "$(window clientForm)"
  xdotool key alt+d v                    # "Datei", "Verbinden": host, then user name
  window 'Verbindung aufbauen zu:' >/dev/null
  xdotool key ctrl+a && xdotool type --delay 20 127.0.0.1 && xdotool key Return
  window Benutername >/dev/null
  xdotool key ctrl+a && xdotool type --delay 20 Bettina && xdotool key Return
}

serve "$work/first.key"
"$program" >"$work/client.log" 2>&1 &
pids+=($!)
xdotool windowactivate --sync "$(window auswahlForm)"
xdotool key space                      # "Chatclient starten"
join
sleep 1.5
# Another server in its place, with a key of its own; the client tries again by itself.
kill "$server"; wait "$server" 2>/dev/null || true
sleep 1
serve "$work/second.key"
window 'Schl.*ssel' >/dev/null
sleep 3
shoot 'Schl.*ssel' key-warning.png
# The box beside the window, so that the window shows what it says meanwhile.
xdotool windowmove "$(window clientForm)" 0 0
xdotool windowmove "$(window 'Schl.*ssel')" 440 400
sleep 0.5
import -silent -window root "$docs/key-warning-desktop.png"
echo docs/key-warning-desktop.png
cat "$work/config/kestrelon-chat/servers"
