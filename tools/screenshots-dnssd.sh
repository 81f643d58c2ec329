#!/usr/bin/env bash
# Makes docs/search-dnssd.png: the server search window listing two servers
# that announced themselves through DNS-SD, with their fingerprints, the scan
# range set to 127.0.0.
#
#   tools/screenshots-dnssd.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs, plus dbus-daemon and avahi-daemon.
# Runs in private network, mount and host-name namespaces: loopback and one
# veth pair whose ends see only each other, a system bus of its own and an
# Avahi daemon on that veth, so no announcement and no probe reaches a real
# network, and the machine's own bus and daemon are never touched.
set -euo pipefail
build=$(realpath "${1:?usage: tools/screenshots-dnssd.sh BUILD_DIR}")
program=$build/app/kestrelon-chat
docs=$(realpath "$(dirname "$0")/../docs")

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  exec unshare --net --mount --uts env KC_IN_NETNS=1 "$0" "$@"
fi
for tool in Xvfb xdotool import openbox xsetroot dbus-daemon avahi-daemon; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

hostname buero-server
ip link set lo up
ip link add kc0 type veth peer name kc1
ip link set kc1 up
ip link set kc0 multicast on up
ip addr add 10.78.0.1/24 dev kc0

export DISPLAY=:79 LANG=C.UTF-8 QT_QPA_PLATFORM=xcb
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
EOF
printf '[server]\nhost-name=buero-server\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=kc0\n[publish]\npublish-workstation=no\n' \
  >"$work/avahi.conf"
pids+=("$(dbus-daemon --config-file="$work/bus.conf" --fork --nopidfile --print-pid)")
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
# Avahi keeps its PID file under /run: a /run of this mount namespace's own.
mount -t tmpfs none /run
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" >"$work/avahi.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'Server startup complete' "$work/avahi.log" && break; sleep 0.1; done

. "$(dirname "$0")/xdesktop.sh"
start_desktop

# Two servers on this machine: the second refuses plain text, and Avahi gives
# it another name because the first holds the one they both ask for.
"$program" --headless --port 5757 --key "$work/first.key" >"$work/first.log" 2>&1 &
pids+=($!)
sleep 1.5
"$program" --headless --port 5800 --key "$work/second.key" --require-encryption >"$work/second.log" 2>&1 &
pids+=($!)
sleep 2

"$program" >"$work/client.log" 2>&1 &
pids+=($!)
xdotool windowactivate --sync "$(window auswahlForm)"
xdotool key space                      # "Chatclient starten"
xdotool windowactivate --sync "$(window clientForm)"
xdotool key alt+e s                    # "Extras", "Suche"
search=$(window suchForm)
xdotool windowactivate --sync "$search"
# The scan's range, never a real network; the scan itself is not started.
xdotool key ctrl+a && xdotool type 127 && xdotool key Tab
xdotool key ctrl+a && xdotool type 0 && xdotool key Tab
xdotool key ctrl+a && xdotool type 0
sleep 1.5
shoot suchForm search-dnssd.png
cat "$work/first.log" "$work/second.log"
