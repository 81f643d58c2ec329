#!/usr/bin/env bash
# Makes the README's file-transfer pictures in docs/ from the real program
# under Xvfb: a client receiving a file (its download progress) and after it
# saved it, then the same client sending a 100 MiB file and after it was
# sent, with the chat still in view.
#
#   tools/screenshots-files.sh BUILD_DIR      (KC_DISPLAY: the X display to use, :78 by default)
#
# Needs what tools/screenshots.sh needs, plus python3 for the other end of
# the transfers. Runs in private network and mount namespaces: only loopback
# and one peer host, 10.77.1.2, in a namespace of its own behind a veth pair;
# /home is an empty tmpfs there, so the paths shown are an ordinary user's.
set -euo pipefail
build=$(realpath "${1:?usage: tools/screenshots-files.sh BUILD_DIR}")
program=$build/app/kestrelon-chat
docs=$(realpath "$(dirname "$0")/../docs")

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  exec unshare --net --mount env KC_IN_NETNS=1 \
    bash -c 'ip link set lo up && mount -t tmpfs tmpfs /home && exec "$0" "$@"' "$0" "$@"
fi
for tool in Xvfb xdotool import openbox xsetroot python3 nsenter; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

export DISPLAY=${KC_DISPLAY:-:78} LANG=C.UTF-8 QT_QPA_PLATFORM=xcb HOME=/home/bettina
mkdir -p "$HOME/Downloads" "$HOME/Dokumente"
work=$(mktemp -d)
# The servers keep their keys in this run's folder and announce nothing.
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The peer host: Jürgen's machine, 10.77.1.2, in a namespace of its own.
unshare --net sleep 3600 &
peer=$!
pids+=("$peer")
sleep 0.3
ip link add kcfiles0 type veth peer name kcfiles1
ip link set kcfiles1 netns "$peer"
ip addr add 10.77.1.1/24 dev kcfiles0
ip link set kcfiles0 up
at_peer() { nsenter --net="/proc/$peer/ns/net" "$@"; }
at_peer ip link set lo up
at_peer ip addr add 10.77.1.2/24 dev kcfiles1
at_peer ip link set kcfiles1 up

. "$(dirname "$0")/xdesktop.sh"
start_desktop
# A raw chat peer on file descriptor $1: every write is one command, Windows-1252.
send() { printf '%b' "$2" >&"$1"; sleep 0.4; }

"$program" --server --port 5757 >"$work/server.log" 2>&1 &
pids+=($!)
xdotool windowminimize "$(window serverForm)"
exec {anna}<>/dev/tcp/127.0.0.1/5757
send "$anna" '$#neu:Anna:32768:127.0.0.1#'
exec {juergen}<>/dev/tcp/127.0.0.1/5757
send "$juergen" '$#neu:J\xfcrgen:176:10.77.1.2#'

# Bettina's client.
"$program" >"$work/client.log" 2>&1 &
pids+=($!)
xdotool windowactivate --sync "$(window auswahlForm)"
xdotool key space                      # "Chatclient starten"
client=$(window clientForm)
xdotool windowmove --sync "$client" 180 60
xdotool windowactivate --sync "$client"
xdotool key space                      # "verbinden": host, then user name
window 'Verbindung aufbauen zu:' >/dev/null
xdotool key ctrl+a && xdotool type --delay 20 localhost && xdotool key Return
window Benutername >/dev/null
xdotool key ctrl+a && xdotool type --delay 20 Bettina && xdotool key Return
sleep 1.5
send "$anna" '$#user:Anna:32768#Guten Morgen, Bettina!'
send "$juergen" '$#user:J\xfcrgen:176#Ich schicke dir gleich den Bericht.'

# 1. Jürgen offers C:\Daten\bericht.pdf; Bettina accepts; his copy of the
# program sends it slowly, and the picture is taken at 94 %.
send "$juergen" '$#file:J\xfcrgen:Bettina:C:\\Daten\\bericht.pdf#'
window Information >/dev/null
xdotool key Return                     # "OK" accepts
sleep 0.5
size=2000000
at_peer python3 - "$size" <<'EOF' &
import socket, sys, time
size = int(sys.argv[1])
s = socket.create_connection(("10.77.1.1", 6711))
s.sendall(b"0000" + b"%10d" % size)
part = size * 94 // 100
for at in range(0, part, 20000):
    s.sendall(b"\x25" * min(20000, part - at))
    time.sleep(0.02)
time.sleep(6)
s.sendall(b"\x25" * (size - part))
s.recv(16)
s.close()
EOF
pids+=($!)
sleep 4
shoot clientForm receiving-client-progress.png
window 'Datei speichern' >/dev/null
sleep 0.5
xdotool type --delay 20 "$HOME/Downloads/bericht" && xdotool key Return
sleep 1
send "$juergen" '$#user:J\xfcrgen:176#Ist er angekommen?'
shoot clientForm client-received-file.png
send "$anna" '$#user:Anna:32768#Bettina, hast du die Pr\xe4sentation schon?'

# 2. Bettina sends a 100 MiB file to Jürgen, whose program takes it on
# 10.77.1.2, halfway at first; the chat stays in view, with one progress
# line, and the indicator says which file goes where.
head -c $((100 * 1024 * 1024)) /dev/zero >"$HOME/Dokumente/praesentation.pdf"
at_peer python3 - <<'EOF' &
import socket, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("10.77.1.2", 6711))
server.listen(1)
peer, _ = server.accept()
def take(n):
    data = b""
    while len(data) < n:
        chunk = peer.recv(n - len(data))
        if not chunk:
            raise SystemExit(1)
        data += chunk
    return data
name = int(take(4))
take(name)
left = int(take(10))
half = left // 2
while left > half:
    left -= len(peer.recv(min(1 << 20, left - half)))
time.sleep(6)
while left:
    left -= len(peer.recv(min(1 << 20, left)))
peer.sendall(b"OK" + b" " * 14)
try:
    peer.recv(1)  # the sender closes
except ConnectionError:
    pass
EOF
pids+=($!)
xdotool windowactivate --sync "$client"
xdotool key shift+Tab                  # from the input line to the user list
xdotool key Home Down                  # Anna, then Jürgen
xdotool key shift+Tab shift+Tab space  # "Datei senden"
window sentfileForm >/dev/null
xdotool key ctrl+a && xdotool type --delay 10 "$HOME/Dokumente/praesentation.pdf"
xdotool key Tab space                  # "OK": the offer goes out
sleep 0.5
send "$juergen" '$#fileangenommen:Bettina:J\xfcrgen:praesentation.pdf#'
sleep 2.5
shoot clientForm client-sending-file.png
sleep 6
send "$juergen" '$#user:J\xfcrgen:176#Danke, beides ist da.'
send "$anna" '$#user:Anna:32768#Dann bis gleich in der Besprechung!'
xdotool windowactivate --sync "$client"
shoot clientForm client-sent-file.png
