#!/usr/bin/env bash
# Makes the README's screenshots in docs/ from the real program under Xvfb:
# the start window, a running server with two users, a client in the chat with
# a private window, the server search over 127.0.0.x, and a client after a
# burst of lines that five people sent at the same moment, and a client after
# its server stopped.
#
#   tools/screenshots.sh BUILD_DIR [burst|stopped]   (only that picture)
#
# Needs: xvfb, xdotool, imagemagick (import), openbox (window frames),
# x11-xserver-utils (xsetroot).
# Everything runs inside a private network namespace with only loopback, so no
# keystroke that goes astray can send a probe to a real network.
set -euo pipefail
build=$(realpath "${1:?usage: tools/screenshots.sh BUILD_DIR [burst]}")
which=${2:-all}
program=$build/app/kestrelon-chat
docs=$(realpath "$(dirname "$0")/../docs")

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  exec unshare --net env KC_IN_NETNS=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
for tool in Xvfb xdotool import openbox xsetroot; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

export DISPLAY=:77 LANG=C.UTF-8 QT_QPA_PLATFORM=xcb
work=$(mktemp -d)
# The servers keep their keys in this run's folder and announce nothing.
# What the program remembers goes to this run's folder too.
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/xdesktop.sh"
start_desktop
shoot_screen() { # file, crop geometry
  sleep 0.5
  import -silent -window root -crop "$2" +repage "$docs/$1"
  echo "docs/$1"
}

# A raw chat peer on file descriptor $1: every write is one command, Windows-1252.
send() { printf '%b' "$2" >&"$1"; sleep 0.4; }

if [ "$which" = all ]; then
# 1. The start window.
"$program" >"$work/start.log" 2>&1 &
start_pid=$!
shoot auswahlForm start-window.png
kill "$start_pid"; wait "$start_pid" 2>/dev/null || true

# 2. A running server with two users who chat.
"$program" --server --port 5757 >"$work/server.log" 2>&1 &
pids+=($!)
window serverForm >/dev/null
sleep 1
exec {anna}<>/dev/tcp/127.0.0.1/5757
send "$anna" '$#neu:Anna:32768:127.0.0.1#'
exec {juergen}<>/dev/tcp/127.0.0.1/5757
send "$juergen" '$#neu:J\xfcrgen:176:127.0.0.1#'
send "$anna" '$#user:Anna:32768#Guten Morgen zusammen!'
send "$juergen" '$#user:J\xfcrgen:176#Morgen! Wer kommt heute zum Mittagessen?'
send "$anna" '$#user:Anna:32768#Ich bin dabei, um zw\xf6lf in der Kantine?'
shoot serverForm server.png

# 3. A client joins as Bettina; Jürgen opens a private chat with her.
xdotool windowminimize "$(window serverForm)"
"$program" >"$work/client.log" 2>&1 &
pids+=($!)
xdotool windowactivate --sync "$(window auswahlForm)"
xdotool key space                      # "Chatclient starten"
xdotool windowactivate --sync "$(window clientForm)"
xdotool key space                      # "verbinden": host, then user name
window 'Verbindung aufbauen zu:' >/dev/null
xdotool key ctrl+a && xdotool type --delay 20 localhost && xdotool key Return
window Benutername >/dev/null
xdotool key ctrl+a && xdotool type --delay 20 Bettina && xdotool key Return
sleep 1.5
send "$juergen" '$#user:J\xfcrgen:176#Hallo Bettina, sch\xf6n, dass du da bist.'
send "$anna" '$#user:Anna:32768#Hallo Bettina! Wir gehen um zw\xf6lf in die Kantine, komm doch einfach mit.'
send "$juergen" '$#pchat:Bettina:J\xfcrgen#Hast du die Pr\xe4sentation f\xfcr morgen schon fertig?'
private=$(window "J.*rgen")
xdotool windowactivate --sync "$private"
xdotool key ctrl+a && xdotool type --delay 20 'Fast, ich schicke sie dir gleich. Es fehlen nur noch die Folien zum Zeitplan.' && xdotool key Return
sleep 0.5
send "$juergen" '$#pchat:Bettina:J\xfcrgen#Danke!'
# Side by side, as a user would drag them, so that both can be read.
xdotool windowmove --sync "$(window clientForm)" 330 40
xdotool windowmove --sync "$private" 10 40
xdotool windowactivate --sync "$(window clientForm)"
xdotool windowactivate --sync "$private"
shoot_screen client-private-chat.png 880x460+0+10

# 4. The server search over 127.0.0.1 to 127.0.0.255, where the server answers.
xdotool windowactivate --sync "$(window clientForm)"
xdotool key alt+e s                    # "Extras", "Suche"
search=$(window suchForm)
xdotool windowactivate --sync "$search"
# The first address field has the focus; the fourth takes none.
xdotool key ctrl+a && xdotool type 127 && xdotool key Tab
xdotool key ctrl+a && xdotool type 0 && xdotool key Tab
xdotool key ctrl+a && xdotool type 0 && xdotool key Tab Tab space
sleep 4
shoot suchForm search.png
fi

if [ "$which" != stopped ]; then
# 5. Five people press Return at the same moment, twenty times each: the
# client of a sixth shows every line on its own, in its author's colour.
# The programs of the pictures before end first (Xvfb and openbox stay).
for pid in "${pids[@]:2}"; do kill "$pid" 2>/dev/null || true; done
sleep 1
serve_and_join burst-
# Our own programs speak frames: a marked join, then length:command, frames.
authors=('Anna:32768' 'J\xfcrgen:176' 'Carla:16711680' 'Dieter:8388736' 'Emil:33023')
fds=()
for author in "${authors[@]}"; do
  exec {fd}<>/dev/tcp/127.0.0.1/5757
  printf '%b' "\$#neu:${author%%:*}:${author##*:}:127.0.0.1#kcx:frame" >&"$fd"
  fds+=("$fd")
done
sleep 1
for i in "${!authors[@]}"; do
  author=${authors[$i]} fd=${fds[$i]}
  (for n in $(seq 1 20); do
     LC_ALL=C frame "\$#user:${author%%:*}:${author##*:}#Zeile $n von ${author%%:*}" >&"$fd"
   done) &
done
wait $(jobs -p | tail -n ${#authors[@]})
sleep 1.5
xdotool windowsize --sync "$client" 860 560
xdotool windowmove --sync "$client" 20 20
sleep 1
shoot clientForm client-burst.png
fi

if [ "$which" = stopped ] || [ "$which" = all ]; then
# 6. A client in an encrypted chat whose server stops: no lock and no
# fingerprint remain, and the chat says who ended the connection.
for pid in "${pids[@]:2}"; do kill "$pid" 2>/dev/null || true; done
sleep 1
serve_and_join stopped-
stopped_server=$server_pid stopped_client=$client_pid
kill "$stopped_server"; wait "$stopped_server" 2>/dev/null || true
sleep 1
xdotool windowsize --sync "$client" 700 460
xdotool windowmove --sync "$client" 20 20
sleep 1
shoot clientForm client-server-stopped.png
kill "$stopped_client"; wait "$stopped_client" 2>/dev/null || true
fi
