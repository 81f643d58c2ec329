#!/usr/bin/env bash
# A virtual LAN for one scenario: hosts A (10.77.0.1, the chat server), B, C
# and D (10.77.0.2 to .4, test agents) each in a network namespace of its own,
# joined by veth pairs to one bridge.
#
# usage: lan.sh chat|search|filetransfer|localfile|hostloss|slowlink|encrypted|dnssd|unicode|restart|rooms|blip|keychange|irc|irssi SERVER_PROGRAM AGENT_PROGRAM
#
# Containment: the script first moves itself into fresh network, PID and mount
# namespaces. The bridge lives there, never in the caller's namespace, and no
# namespace gets anything but loopback and its veth: no default route, no
# route but 10.77.0.0/24, no physical device, so no packet can leave. When
# this script ends in any way (even killed), the kernel ends every process of
# its PID namespace and with them every namespace, veth and the bridge.
# /etc/hosts and /etc/resolv.conf are replaced inside the private mount
# namespace, so name look-ups never even try a real name server.
# Exit 77 (skipped) when the machine allows no namespaces or bridges.
set -uo pipefail

scenario=${1:?usage: lan.sh SCENARIO SERVER_PROGRAM AGENT_PROGRAM}
server=${2:?server program}
agent=${3:?agent program}

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

skip() { echo "SKIPPED: $*"; exit 77; }

if [ "${KC_LAN_INSIDE:-}" != 1 ]; then
  for tool in unshare nsenter setpriv ip mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed"
  done
  flags=(--net --pid --fork --kill-child --mount-proc)
  [ "$(id -u)" -ne 0 ] && flags=(--user --map-root-user "${flags[@]}")
  unshare "${flags[@]}" true 2>/dev/null || skip "this machine does not allow network and PID namespaces here"
  work=$(mktemp -d /tmp/kclanXXXXXX) || exit 1
  # Should this script be killed outright, unshare goes too, and with it
  # (--kill-child) everything in the namespaces.
  setpriv --pdeathsig KILL unshare "${flags[@]}" env KC_LAN_INSIDE=1 KC_LAN_WORK="$work" "$0" "$@" &
  inner=$!
  # unshare itself holds off INT and TERM while it waits; hand them to the
  # scenario, which then tears down in its own way.
  trap 'for p in $(cat /proc/$inner/task/$inner/children 2>/dev/null); do kill -TERM "$p"; done' INT TERM
  while :; do
    wait "$inner"
    rc=$?
    kill -0 "$inner" 2>/dev/null || break
  done
  rm -rf "$work"
  exit "$rc"
fi

# ---- from here on: PID 1 of our own namespaces ----

work=${KC_LAN_WORK:?}
# Files of the run live in memory and vanish with the mount namespace.
mount -t tmpfs -o size=300m kclan "$work" 2>/dev/null || true
mkdir -p "$work/b" "$work/c" "$work/d" "$work/run"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run
# The server keeps its key under the XDG data folder, and programs reach
# Avahi through the system bus: here a folder of the run's own, and no bus
# unless a scenario starts one for a host.
export XDG_DATA_HOME=$work/data
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
declare -A bus_of
declare -A pid_of addr_of in_fd out_fd
children=()

dump_logs() {
  local f
  # The IRC programs' own logs too, where a scenario ran them.
  for f in "$work"/*.log "$work"/irc/*/logs/lan.*.weechatlog "$work"/irc/*/logs/lan/*.log; do
    [ -f "$f" ] || continue
    echo "----- ${f#"$work"/} (last 40 lines)"
    tail -n 40 "$f"
  done
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  [ "$rc" -ne 0 ] && [ "$rc" -ne 77 ] && dump_logs
  local p fd
  declare -F children_stop >/dev/null && children_stop
  for p in "${children[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  for fd in "${in_fd[@]}" "${out_fd[@]}"; do exec {fd}>&-; done
  umount /etc/hosts /etc/resolv.conf 2>/dev/null
  umount -l "$work" 2>/dev/null
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM
# The scenario as a whole; each agent wait is bounded on its own as well.
( sleep 240; echo "scenario took too long; stopping it" >&2; kill -TERM 1 ) &
children+=($!)

fail() {
  echo "FAIL: $*"
  local name
  for name in "${!in_fd[@]}"; do
    echo "view $name" >&"${in_fd[$name]}"
    IFS= read -r -t 5 -u "${out_fd[$name]}" reply && echo "host $name ${reply#ok }"
  done
  exit 1
}
step() { local ms=$(( $(date +%s%N) / 1000000 - t0 )); printf '[%3d.%03ds] %s\n' $((ms / 1000)) $((ms % 1000)) "$*"; }
t0=$(( $(date +%s%N) / 1000000 ))

# ---- the LAN ----

private_file() { # path contents: a bind mount seen only inside these namespaces
  printf '%s' "$2" >"$work/${1##*/}"
  mount --bind "$work/${1##*/}" "$1" || fail "cannot replace $1 in the private mount namespace"
}
private_file /etc/hosts $'127.0.0.1 localhost\n10.77.0.1 hosta\n10.77.0.2 hostb\n10.77.0.3 hostc\n10.77.0.4 hostd\n'
private_file /etc/resolv.conf $'nameserver 127.0.0.1\n'

ip link set lo up
ip link add kcbr type bridge 2>/dev/null || skip "cannot create a bridge (no bridge support in this kernel?)"
ip link set kcbr up
echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 2>/dev/null

add_host() { # name last-address-byte
  local name=$1 address=10.77.0.$2 holder
  unshare --net sleep infinity &
  holder=$!
  children+=("$holder")
  local self; self=$(readlink /proc/self/ns/net)
  for _ in $(seq 2000); do
    [ "$(readlink "/proc/$holder/ns/net" 2>/dev/null)" != "$self" ] && break
    sleep 0.01
  done
  [ "$(readlink "/proc/$holder/ns/net")" != "$self" ] || fail "namespace of host $name did not come up"
  ip link add "v$name" type veth peer name eth0 netns "$holder" 2>/dev/null \
    || skip "cannot create veth pairs (no veth support in this kernel?)"
  ip link set "v$name" master kcbr up
  nsenter -t "$holder" -n sh -c "
    echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 2>/dev/null
    # Absent neighbours are given up after 3 unanswered requests 200 ms apart
    # (1 s apart by default), so a search over the range ends in seconds.
    echo 200 >/proc/sys/net/ipv4/neigh/eth0/retrans_time_ms
    ip link set lo up && ip addr add $address/24 dev eth0 && ip link set eth0 up" \
    || fail "cannot configure host $name"
  pid_of[$name]=$holder
  addr_of[$name]=$address
}

in_host() { local name=$1; shift; nsenter -t "${pid_of[$name]}" -n -- "$@"; }

# Every host routes 10.77.0.0/24 and nothing else; the bridge's namespace
# holds only loopback, the bridge and the hosts' veth ends.
check_containment() {
  local name routes links
  for name in "${!pid_of[@]}"; do
    routes=$(in_host "$name" ip -4 route show table all | grep -v ' table local ' | grep -v '^local\|^broadcast')
    [[ "$routes" =~ ^"10.77.0.0/24 dev eth0 proto kernel scope link src ${addr_of[$name]}"( linkdown)?\ *$ ]] \
      || fail "host $name has routes beyond the test LAN: $routes"
    [ -z "$(in_host "$name" ip -6 route show 2>/dev/null)" ] || fail "host $name has IPv6 routes"
    links=$(in_host "$name" ip -o link show | awk -F': ' '{print $2}' | cut -d@ -f1 | sort | tr '\n' ' ')
    [ "$links" = "eth0 lo " ] || fail "host $name has other devices: $links"
    [ "${1:-}" = show ] && echo "host $name: devices: $links; routes: ${routes% }"
  done
  links=$(ip -o link show | awk -F': ' '{print $2}' | cut -d@ -f1 | sort | tr '\n' ' ')
  local expected; expected=$( (echo kcbr; echo lo; for name in "${!pid_of[@]}"; do echo "v$name"; done) | sort | tr '\n' ' ')
  [ "$links" = "$expected" ] || fail "the bridge namespace has other devices: $links"
  [ -z "$(ip -4 route show)" ] || fail "the bridge namespace has routes: $(ip -4 route show)"
  [ "${1:-}" = show ] && echo "bridge namespace: devices: $links; routes: none"
  return 0
}

start_server() {
  # Started without a function around it, so that $! is the server itself.
  nsenter -t "${pid_of[a]}" -n -- env DBUS_SYSTEM_BUS_ADDRESS="${bus_of[a]:-$DBUS_SYSTEM_BUS_ADDRESS}" \
    "$server" --headless --port 5757 --keepalive 1,1,2 --key "$work/a.key" ${server_args[@]+"${server_args[@]}"} >>"$work/a.log" 2>&1 &
  children+=($!)
  server_pid=$!
  local until=$((SECONDS + 30))
  while [ "$SECONDS" -le "$until" ]; do
    [ -n "$(in_host a ss -Hltn 'sport = :5757' 2>/dev/null)" ] && return 0
    kill -0 "${children[-1]}" 2>/dev/null || fail "the server on host A ended at start"
    sleep 0.05
  done
  fail "the server on host A does not listen on 5757"
}

start_agent() { # name
  local name=$1 reply log=$work/$1.log
  # Host A's log is the server's.
  [ "$name" = a ] && log=$work/a-agent.log
  mkfifo "$work/$name.in" "$work/$name.out"
  exec {in_fd[$name]}<>"$work/$name.in" {out_fd[$name]}<>"$work/$name.out"
  # With resume_files set, each client keeps its resume tokens in its host's folder.
  in_host "$name" env DBUS_SYSTEM_BUS_ADDRESS="${bus_of[$name]:-$DBUS_SYSTEM_BUS_ADDRESS}" \
    ${resume_files:+KC_AGENT_RESUME_FILE=$work/$name/resume} "$agent" <"$work/$name.in" >"$work/$name.out" 2>"$log" &
  children+=($!)
  read -r -t 30 -u "${out_fd[$name]}" reply || fail "agent on host $name did not start"
  [ "$reply" = ready ] || fail "agent on host $name: $reply"
}

# ask HOST COMMAND...: sets $reply; `expect` also requires an "ok".
ask() {
  local name=$1; shift
  [ "${in_fd[$name]:-}" ] || fail "no agent on host $name"
  echo "$*" >&"${in_fd[$name]}"
  IFS= read -r -t 45 -u "${out_fd[$name]}" reply || reply="fail no answer"
}
expect() {
  ask "$@"
  [ "${reply%% *}" = ok ] || fail "host $1: '${*:2}' answered: $reply"
  step "$1: ${*:2} -> $reply"
}

lan_hosts() { # names...: builds the LAN with these hosts, server on A
  local name byte=1
  for name in a b c d; do
    [[ " $* " == *" $name "* ]] && add_host "$name" "$byte"
    byte=$((byte + 1))
  done
  check_containment show
  step "LAN up: $(for n in "$@"; do printf '%s=%s ' "$n" "${addr_of[$n]}"; done)"
  start_server
  for name in "$@"; do [ "$name" != a ] && start_agent "$name"; done
  step "server and agents running"
}

# Packets each host put on the bridge, from the bridge ports' receive
# counters in this namespace: where the scenario's traffic went.
report_traffic() {
  local name
  for name in $(printf '%s\n' "${!pid_of[@]}" | sort); do
    awk -v port="v$name:" -v host="$name" \
      '$1 == port { print "host " host " put " $3 " packets on the test bridge" }' /proc/net/dev
  done
  check_containment
}

# The host sits behind a slow link with small packets, both ways: 2 Mbit/s
# through a token bucket and an MTU of 576 on its veth pair, as on a busy
# Wi-Fi or a VPN. The bucket holds little more than one packet, so that it
# cuts what TCP hands the link in one piece into segments, and paces them:
# long lines then arrive in several reads.
slow_link() { # name
  local name=$1 tbf="tbf rate 2mbit burst 1600 latency 200ms"
  ip link set "v$name" mtu 576 || fail "cannot set the MTU of host $name's link"
  tc qdisc add dev "v$name" root $tbf 2>/dev/null || skip "no tbf queueing discipline in this kernel"
  in_host "$name" sh -c "ip link set eth0 mtu 576 && tc qdisc add dev eth0 root $tbf" \
    || fail "cannot slow down host $name's link"
  step "host $name: 2 Mbit/s, MTU 576"
}

# A host's own Avahi daemon on a system bus of its own: dbus-daemon in the
# host's network namespace, listening in the run's folder; avahi-daemon in a
# mount namespace with its own /run (for its PID file), on the host's eth0 only.
start_avahi() { # name
  local name=$1 dir=$work/avahi-$1
  mkdir -p "$dir"
  cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
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
  printf '[server]\nhost-name=host%s\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=eth0\n[publish]\npublish-workstation=no\n' \
    "$name" >"$dir/avahi.conf"
  in_host "$name" ip link set eth0 multicast on || fail "host $name: no multicast on eth0"
  in_host "$name" dbus-daemon --config-file="$dir/bus.conf" --fork --nopidfile --print-pid >"$dir/bus.pid" \
    2>"$dir/bus.log" || fail "host $name: dbus-daemon does not start: $(cat "$dir/bus.log")"
  children+=("$(cat "$dir/bus.pid")")
  bus_of[$name]=unix:path=$dir/bus
  in_host "$name" unshare --mount sh -c 'mount -t tmpfs none /run && exec "$@"' sh \
    env DBUS_SYSTEM_BUS_ADDRESS="${bus_of[$name]}" \
    avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$dir/avahi.conf" >"$work/avahi-$name.log" 2>&1 &
  children+=($!)
  for _ in $(seq 200); do
    grep -q 'Server startup complete' "$work/avahi-$name.log" && break
    kill -0 "${children[-1]}" 2>/dev/null || fail "host $name: avahi-daemon ended: $(cat "$work/avahi-$name.log")"
    sleep 0.05
  done
  grep -q 'Server startup complete' "$work/avahi-$name.log" || fail "host $name: avahi-daemon did not come up"
  step "host $name: avahi-daemon on its own system bus"
}

# The short fingerprint of the server's latest start, from its log.
server_fingerprint() {
  sed -n 's/.*Fingerabdruck: \([0-9 ]*\) (SHA-256.*/\1/p' "$work/a.log" | tail -n 1
}

# Waits, up to a minute, until the host's client says it is back in the room.
back() { # name
  local until=$((SECONDS + 60))
  while [ "$SECONDS" -le "$until" ]; do
    ask "$1" count '^Wieder verbunden$'
    [ "${reply%% *}" = ok ] && [ "$reply" != "ok 0" ] && { step "$1: back in the room"; return 0; }
    sleep 0.2
  done
  fail "host $1 did not come back: $reply"
}

# The IRC programs of tests/irc/ircclients.sh, on the hosts of this LAN.
irc_ready() {
  "$server" --help 2>/dev/null | grep -q -- '--irc-port' || skip "this build of the chat server has no IRC port (--irc-port)"
  irc_work=$work/irc
  mkdir -p "$irc_work"
  # shellcheck source=../irc/ircclients.sh
  . "$(dirname "$0")/../irc/ircclients.sh"
  children_stop() { irc_clients_stop; }
}
on_host() { irc_run="nsenter -t ${pid_of[$1]} -n --"; }
# Each text once in an agent's chat view.
once_at() { # host line
  ask "$1" count "^$(sed 's/[][\\.^$*+?(){}|]/\\&/g' <<<"$2")\$"
  [ "$reply" = "ok 1 $2" ] || fail "host $1 shows '$2' other than once: $reply"
}

join_two() {
  expect b join 10.77.0.1 bob
  expect c join 10.77.0.1 carl
  expect b users "bob (10.77.0.2);carl (10.77.0.3)"
  expect c users "bob (10.77.0.2);carl (10.77.0.3)"
}

# ---- scenarios ----

case "$scenario" in
  chat)
    lan_hosts a b c
    join_two
    expect b say "Grüße aus B: #1 mit :und# Umlauten äöü"
    expect c line "bob: Grüße aus B: #1 mit :und# Umlauten äöü"
    expect b line "bob: Grüße aus B: #1 mit :und# Umlauten äöü"
    expect c say "hallo bob"
    expect b line "carl: hallo bob"
    expect c whisper bob "nur für dich"
    expect b line "Private Nachricht von: carl"
    expect b line "Private Nachricht: nur für dich"
    expect c line "Private Nachricht an bob: nur für dich"
    expect b pchat carl "privat hallo"
    expect c pline bob "bob: privat hallo"
    expect c pchat bob "privat zurück"
    expect b pline carl "carl: privat zurück"
    expect c pline bob "carl: privat zurück"
    ask b count '^Private Nachricht: '
    [ "$reply" = "ok 1 Private Nachricht: nur für dich" ] || fail "whisper seen at B: $reply"
    ask c count 'Private Nachricht von:|privat hallo'
    [ "$reply" = "ok 0" ] || fail "C saw its own whisper or a private line in public: $reply"
    ;;

  search)
    lan_hosts a b c d
    expect b search 10.77.0 5757
    [[ "$reply" =~ ^ok\ (hosta)?\ 10\.77\.0\.1\ \(255\ addresses\ answered\)$ ]] || fail "the search should list exactly host A: $reply"
    expect b pick 0 bob
    expect b users "bob (10.77.0.2)"
    expect b line "Verbindung hergestellt"
    ;;

  filetransfer)
    lan_hosts a b c d
    head -c $((50 * 1024 * 1024)) /dev/urandom >"$work/b/big.bin"
    head -c 100000 /dev/urandom >"$work/d/push.bin"
    join_two
    expect c accept "$work/c/got"
    expect b offer carl "$work/b/big.bin"
    expect c line "Erhalte Datei \"big.bin\" von bob"
    expect b line "Datei \"big.bin\" an carl(10.77.0.3)geschickt"
    expect c has "^Datei erhalten"
    expect b has "^Files Sent"
    cmp "$work/b/big.bin" "$work/c/got.bin" || fail "the file at C differs from the one B sent"
    step "50 MiB arrived at C byte for byte"
    ask b count '^[0-9]+ bytes  of 52428800 bytes  sent$'
    [[ "$reply" =~ ^ok\ ([0-9]+)\ 52428800\ bytes\ \ of\ 52428800\ bytes\ \ sent$ ]] \
      || fail "B's progress lines: $reply"
    # One line per transfer, brought up to date in place, ending with the full count.
    [ "${BASH_REMATCH[1]}" -eq 1 ] || fail "B showed ${BASH_REMATCH[1]} progress lines for one file"
    step "B showed one progress line, at the full count"
    # D made no offer that C accepted: C takes nothing from it.
    ask d push 10.77.0.3 "$work/d/push.bin"
    step "d: push to C -> $reply"
    [ "$reply" != "ok acknowledged with 16 bytes" ] || fail "C acknowledged a stream nobody offered"
    expect c saves
    [ "$reply" = "ok 1" ] || fail "C asked where to save a stream nobody offered: $reply"
    expect b errors
    expect c errors
    ;;

  localfile)
    # alice's client runs on host A, the server's own machine, and connects
    # to "localhost", so its join names 127.0.0.1. The server lists her with
    # A's LAN address, and a file from bob on B reaches her byte for byte.
    lan_hosts a b
    mkdir -p "$work/a"
    start_agent a
    head -c 3000000 /dev/urandom >"$work/b/bericht.bin"
    expect a join localhost alice
    expect b join 10.77.0.1 bob
    expect b users "alice (10.77.0.1);bob (10.77.0.2)"
    expect a users "alice (10.77.0.1);bob (10.77.0.2)"
    grep -q '127.0.0.1\$#neu:alice:[0-9]*:127.0.0.1#' "$work/a.log" || fail "alice's join did not name 127.0.0.1: $(grep 'neu:alice' "$work/a.log")"
    step "alice joined through localhost and is listed with host A's LAN address"
    expect a accept "$work/a/got"
    expect b offer alice "$work/b/bericht.bin"
    expect a line "Erhalte Datei \"bericht.bin\" von bob"
    expect b line "Datei \"bericht.bin\" an alice(10.77.0.1)geschickt"
    expect a has "^Datei erhalten"
    expect b has "^Files Sent"
    [ "$(sha256sum <"$work/b/bericht.bin")" = "$(sha256sum <"$work/a/got.bin")" ] \
      || fail "the file at A differs from the one B sent"
    step "3 MB arrived at A byte for byte (SHA-256 $(sha256sum <"$work/a/got.bin" | cut -c1-16)…)"
    grep -q 'file:bob:alice:bericht.bin#' "$work/a.log" || fail "the server's log does not show the offer"
    ! grep -q "$work/b" "$work/a.log" || fail "the server's log shows the sender's folders"
    ask a view
    [[ "$reply" != *"$work/b"* ]] || fail "alice sees the sender's folders: $reply"
    expect a errors
    expect b errors
    ;;

  encrypted)
    # tcpdump on the bridge sees every packet of the LAN. Between our own
    # programs it must find none of the words or file bytes that went by,
    # while an older client (a raw peer on D) still chats in plain text.
    command -v tcpdump >/dev/null 2>&1 || skip "'tcpdump' is not installed"
    lan_hosts a b c d
    tcpdump -i kcbr -U -s 0 -Z root -w "$work/lan.pcap" >"$work/tcpdump.log" 2>&1 &
    children+=($!)
    for _ in $(seq 400); do grep -q 'listening on' "$work/tcpdump.log" && break; sleep 0.05; done
    grep -q 'listening on' "$work/tcpdump.log" || fail "tcpdump does not capture: $(cat "$work/tcpdump.log")"
    step "tcpdump captures on the bridge"
    grep -q '^.*Fingerabdruck: [0-9]\{5\} [0-9]\{5\} [0-9]\{5\} [0-9]\{5\} (SHA-256 [0-9A-F:]\{95\})$' "$work/a.log" \
      || fail "the server's log names no fingerprint"
    fingerprint=$(sed -n 's/.*Fingerabdruck: \([0-9 ]*\) (SHA-256.*/\1/p' "$work/a.log" | head -n 1)
    # The older client: the join it always sent, then whatever comes.
    in_host d bash -c 'exec 3<>/dev/tcp/10.77.0.1/5757 || exit 1
      printf "%s" "\$#neu:dora:0:10.77.0.4#" >&3
      cat <&3 &
      while [ ! -e "$0/d/go" ]; do sleep 0.05; done
      printf "%s" "\$#user:dora:0#klartext von dora" >&3
      wait' "$work" >"$work/d/legacy.txt" 2>"$work/d/legacy.log" &
    children+=($!)
    for _ in $(seq 400); do grep -q 'dora:10.77.0.4' "$work/d/legacy.txt" && break; sleep 0.05; done
    grep -qF '$#neu:dora:10.77.0.4#' "$work/d/legacy.txt" || fail "the older client was not admitted: $(cat "$work/d/legacy.txt")"
    step "an older client joined from D, unmarked, and got the plain user list"
    expect b join 10.77.0.1 bob
    expect c join 10.77.0.1 carl
    expect b users "dora (10.77.0.4);bob (10.77.0.2);carl (10.77.0.3)"
    expect b lock "Verschlüsselt"
    expect c lock "Verschlüsselt"
    ask b view
    [[ "$reply" == *"Fingerabdruck des Servers: $fingerprint (SHA-256"* ]] || fail "B shows another fingerprint than the server's log ($fingerprint): $reply"
    step "B and C are encrypted and show the server's fingerprint $fingerprint"
    touch "$work/d/go"
    expect b line "dora: klartext von dora"
    expect b say "oeffentlich-GEHEIM-1"
    expect c line "bob: oeffentlich-GEHEIM-1"
    expect c whisper bob "fluester-GEHEIM-2"
    expect b line "Private Nachricht: fluester-GEHEIM-2"
    expect b pchat carl "privat-GEHEIM-3"
    expect c pline bob "bob: privat-GEHEIM-3"
    for i in $(seq 20000); do echo "DATEI-GEHEIM-$i"; done >"$work/b/geheim.txt"
    expect c accept "$work/c/got"
    expect b offer carl "$work/b/geheim.txt"
    expect c has "^Datei erhalten"
    cmp "$work/b/geheim.txt" "$work/c/got.txt" || fail "the file at C differs from the one B sent"
    for _ in $(seq 400); do grep -q 'oeffentlich-GEHEIM-1' "$work/d/legacy.txt" && break; sleep 0.05; done
    grep -q 'bob: oeffentlich-GEHEIM-1' "$work/d/legacy.txt" || fail "the older client got no plain public line: $(cat "$work/d/legacy.txt")"
    step "the older client on D reads the public line in plain text"
    sleep 0.5
    kill "${children[-1]}" 2>/dev/null
    kill -INT "$(pgrep -x tcpdump)" 2>/dev/null
    for _ in $(seq 400); do pgrep -x tcpdump >/dev/null || break; sleep 0.05; done
    [ -s "$work/lan.pcap" ] || fail "the capture is empty"
    tcpdump -r "$work/lan.pcap" -w "$work/ours.pcap" 'not host 10.77.0.4' 2>/dev/null
    packets=$(tcpdump -r "$work/ours.pcap" 2>/dev/null | wc -l)
    [ "$packets" -gt 50 ] || fail "the capture holds only $packets packets of our programs"
    for secret in fluester-GEHEIM-2 privat-GEHEIM-3 DATEI-GEHEIM; do
      ! grep -a -q "$secret" "$work/lan.pcap" || fail "the capture holds '$secret' in plain text"
    done
    ! grep -a -q 'oeffentlich-GEHEIM-1' "$work/ours.pcap" || fail "the public line went in plain text between our programs"
    grep -a -q 'oeffentlich-GEHEIM-1' "$work/lan.pcap" || fail "the line to the older client should be plain text"
    step "capture: $packets packets between our programs, no word and no file byte readable"
    ;;

  unicode)
    # Two of our clients on B and C carry every character; an older client (a
    # raw peer on D) gets Windows-1252 with "?" for what the code page lacks,
    # and its own umlauts and euro sign reach ours whole.
    lan_hosts a b c d
    in_host d bash -c 'exec 3<>/dev/tcp/10.77.0.1/5757 || exit 1
      printf "%s" "\$#neu:dora:0:10.77.0.4#" >&3
      cat <&3 &
      while [ ! -e "$0/d/go" ]; do sleep 0.05; done
      printf "\$#user:dora:0#Gr\xfc\xdfe \x80" >&3
      wait' "$work" >"$work/d/legacy.txt" 2>"$work/d/legacy.log" &
    children+=($!)
    for _ in $(seq 100); do grep -q 'dora:10.77.0.4' "$work/d/legacy.txt" && break; sleep 0.05; done
    grep -qF '$#neu:dora:10.77.0.4#' "$work/d/legacy.txt" || fail "the older client was not admitted"
    expect b join 10.77.0.1 "Łukasz"
    expect c join 10.77.0.1 carl
    expect c users "dora (10.77.0.4);Łukasz (10.77.0.2);carl (10.77.0.3)"
    expect b say "Grüße 👍 Łódź € Ελλάδα 日本"
    expect c line "Łukasz: Grüße 👍 Łódź € Ελλάδα 日本"
    step "C shows Łukasz's line from B whole"
    expected=$(printf '$#farbe:0#?ukasz: Gr\xfc\xdfe ? ?\xf3d? \x80 ?????? ??')
    for _ in $(seq 100); do LC_ALL=C grep -aqF "$expected" "$work/d/legacy.txt" && break; sleep 0.05; done
    LC_ALL=C grep -aqF "$expected" "$work/d/legacy.txt" || fail "the older client got other bytes: $(od -c "$work/d/legacy.txt" | tail -5)"
    step "the older client on D got the Windows-1252 bytes, '?' for what the code page lacks"
    touch "$work/d/go"
    expect b line "dora: Grüße €"
    expect c line "dora: Grüße €"
    step "the older client's umlauts and euro sign reach B and C whole"
    ;;

  restart)
    # The server is killed outright and started again with its key: both
    # clients come back on their own, and what is said afterwards reaches both.
    lan_hosts a b c
    join_two
    expect b say "vor dem Neustart"
    expect c line "bob: vor dem Neustart"
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null
    step "server on host A killed"
    start_server
    step "server on host A started again"
    back b
    back c
    expect b lock "Verschlüsselt"
    expect b say "nach dem Neustart"
    expect c line "bob: nach dem Neustart"
    expect c say "auch wieder da"
    expect b line "carl: auch wieder da"
    ;;

  rooms)
    # Our clients on B, C and D and an older client (a raw peer on D). The
    # operator's lasting rooms come from the file beside the server's key:
    # "Küche", open, and "Vorstand", for invited users only, bob its guest.
    # Lines in each room reach its members only; the older client gets the
    # main chat's bytes as always; after a restart the rooms are back and the
    # clients are in them again without a click.
    printf 'raum\tKüche\to\tKaffee und Kuchen\nraum\tVorstand\ti\t\ngast\tbob\t\n' >"$work/rooms"
    lan_hosts a b c d
    in_host d bash -c 'exec 3<>/dev/tcp/10.77.0.1/5757 || exit 1
      printf "%s" "\$#neu:erna:0:10.77.0.4#" >&3
      cat <&3' >"$work/d/legacy.txt" 2>"$work/d/legacy.log" &
    children+=($!)
    for _ in $(seq 100); do grep -q 'erna:10.77.0.4' "$work/d/legacy.txt" && break; sleep 0.05; done
    expect b join 10.77.0.1 bob
    expect c join 10.77.0.1 carl
    expect d join 10.77.0.1 dora
    expect d users "erna (10.77.0.4);bob (10.77.0.2);carl (10.77.0.3);dora (10.77.0.4)"
    for host in b c d; do expect "$host" renter Küche; done
    expect b renter Vorstand
    expect b rinvite Vorstand carl
    expect c renter Vorstand
    expect b rtabs "Chat;Küche;Vorstand"
    expect c rtabs "Chat;Küche;Vorstand"
    expect d rtabs "Chat;Küche"
    expect b rsay Küche "Kuchen um drei"
    expect c rline Küche "bob: Kuchen um drei"
    expect d rline Küche "bob: Kuchen um drei"
    expect c rsay Vorstand "nur für den Vorstand"
    expect b rline Vorstand "carl: nur für den Vorstand"
    expect b say "für alle"
    expect d line "bob: für alle"
    ask d count 'Vorstand|Kuchen um drei'
    [ "$reply" = "ok 0" ] || fail "dora's main chat shows a room's lines: $reply"
    ask c count 'Kuchen um drei'
    [ "$reply" = "ok 0" ] || fail "a room's line reached carl's main chat: $reply"
    step "each room's lines reached its members only"
    expected=$(printf '$#neu:erna:10.77.0.4#$#neu:erna:10.77.0.4:bob:10.77.0.2#$#neu:erna:10.77.0.4:bob:10.77.0.2:carl:10.77.0.3#$#neu:erna:10.77.0.4:bob:10.77.0.2:carl:10.77.0.3:dora:10.77.0.4#$#farbe:0#bob: f\xfcr alle')
    for _ in $(seq 100); do [ "$(LC_ALL=C cat "$work/d/legacy.txt")" = "$expected" ] && break; sleep 0.05; done
    [ "$(LC_ALL=C cat "$work/d/legacy.txt")" = "$expected" ] || fail "the older client got other bytes: $(od -c "$work/d/legacy.txt" | tail -8)"
    step "the older client on D got exactly the main chat's bytes"
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null
    step "server on host A killed"
    grep -q "^gast	carl" "$work/rooms" || fail "carl's invitation was not kept: $(cat "$work/rooms")"
    start_server
    grep -q 'dauerhafte Räume geladen: Küche, Vorstand' "$work/a.log" || fail "the lasting rooms were not loaded"
    back b
    back c
    back d
    expect b rtabs "Chat;Küche;Vorstand"
    expect c rtabs "Chat;Küche;Vorstand"
    expect d rtabs "Chat;Küche"
    expect b rsay Vorstand "wieder da"
    expect c rline Vorstand "bob: wieder da"
    expect d rsay Küche "auch in der Küche"
    expect b rline Küche "dora: auch in der Küche"
    expect c rline Küche "dora: auch in der Küche"
    step "after the restart everybody is in its rooms again"
    ;;

  blip)
    # Host C's cable is out for 10 s. Meanwhile bob talks in public and in
    # the private window he had open with carl. Carl is back without a click,
    # sees every public line once and in order, and gets the private line.
    lan_hosts a b c
    join_two
    expect b pchat carl "vor der Störung"
    expect c pline bob "bob: vor der Störung"
    expect b say "öffentlich 0"
    expect c line "bob: öffentlich 0"
    ip link set vc down
    down_at=$SECONDS
    step "link of host C is down"
    expect b users "bob (10.77.0.2)"
    for i in 1 2 3 4 5; do expect b say "öffentlich $i"; done
    expect b pchat carl "während du weg warst"
    expect b pcontains carl "wird zugestellt, sobald carl wieder da ist"
    while [ $((SECONDS - down_at)) -lt 10 ]; do sleep 0.2; done
    ip link set vc up
    step "link of host C is up again"
    back c
    expect b users "bob (10.77.0.2);carl (10.77.0.3)"
    for _ in $(seq 100); do
      ask c count '^(\[[0-9:]* nachgeholt\] )?bob: öffentlich 5$'
      [ "${reply%% *}" = ok ] && [ "$reply" != "ok 0" ] && break
      sleep 0.1
    done
    ask c view
    public=$(printf '%s\n' "${reply%% dialogs: *}" | tr '|' '\n' | sed -n 's/^\(\[[0-9:]* nachgeholt\] \)\{0,1\}bob: \(öffentlich [0-9]\)$/\2/p' | tr '\n' ,)
    [ "$public" = "öffentlich 0,öffentlich 1,öffentlich 2,öffentlich 3,öffentlich 4,öffentlich 5," ] \
      || fail "carl's public lines are not each once and in order: $public"
    step "carl has every public line once, in order"
    ask c count '^Fehler beim Verbinden mit'
    [ "$reply" = "ok 0" ] || fail "carl's broken link is told as a failed connect: $reply"
    ask c count '^Die Verbindung zum Server ist abgerissen$'
    [ "${reply%% *}" = ok ] && [ "$reply" != "ok 0" ] || fail "carl's view blames the server for a broken link"
    expect c pcontains bob "bob: während du weg warst"
    # KC_LAN_SHOT=FILE keeps a picture of carl's windows, just back.
    [ -n "${KC_LAN_SHOT:-}" ] && expect c shot "$KC_LAN_SHOT"
    ;;

  hostloss)
    lan_hosts a b c d
    join_two
    expect d join 10.77.0.1 dora
    expect b users "bob (10.77.0.2);carl (10.77.0.3);dora (10.77.0.4)"
    # A cable is pulled: the host's bridge port goes down, so its end sends
    # neither FIN nor RST, and nothing the server sends reaches it.
    # C vanishes while its connection is idle ...
    ip link set vc down
    step "link of host C is down"
    expect b users "bob (10.77.0.2);dora (10.77.0.4)"
    # ... D while the server has a line for it that is never acknowledged.
    ip link set vd down
    step "link of host D is down"
    expect b say "ist dora noch da?"
    expect b users "bob (10.77.0.2)"
    ;;

  slowlink)
    lan_hosts a b c
    slow_link c
    join_two
    digits=$(printf '0123456789%.0s' $(seq 188))
    expect b say "lang von B: $digits"
    expect c line "bob: lang von B: $digits"
    expect c say "lang von C: $digits"
    expect b line "carl: lang von C: $digits"
    expect c line "carl: lang von C: $digits"
    # Both clients spoke the framed extension with the server.
    [ "$(grep -c '#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away$' "$work/a.log")" = 2 ] || fail "the joins were not marked: $(grep 'neu:' "$work/a.log")"
    ask c count '^[0-9]'
    [ "$reply" = "ok 0" ] || fail "a tail of a long line showed as a line of its own at C: $reply"
    ;;

  keychange)
    # The server starts again with a new key while bob and carl are in. Each
    # client asks once and then waits for its user, who phones the operator
    # for KC_LAN_KEY_WAIT seconds (30 unless set; past the server's own
    # time-outs for the handshake and the resume proof, 10 s each): bob says
    # "Abbrechen", carl "Neuen Schlüssel annehmen". Carl is back in the room;
    # bob joins nothing more until he connects again himself. No resume token
    # reaches any log, of the server or of the clients.
    key_wait=${KC_LAN_KEY_WAIT:-30}
    resume_files=1
    lan_hosts a b c
    join_two
    expect b say "vor dem Schlüsselwechsel"
    expect c line "bob: vor dem Schlüsselwechsel"
    tokens() { cat "$work"/b/resume "$work"/c/resume 2>/dev/null | grep -oE '[0-9a-f]{64}'; }
    for _ in $(seq 100); do [ "$(tokens | wc -l)" = 2 ] && break; sleep 0.05; done
    used=$(tokens)
    [ "$(wc -l <<<"$used")" = 2 ] || fail "the clients keep no resume tokens: $used"
    old_fingerprint=$(server_fingerprint)
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null
    mv "$work/a.key" "$work/a.key.alt"
    start_server
    new_fingerprint=$(server_fingerprint)
    [ "$new_fingerprint" != "$old_fingerprint" ] || fail "the server kept its fingerprint $old_fingerprint"
    step "server on host A started again with a new key: $old_fingerprint -> $new_fingerprint"
    joins() { grep -c "\$#neu:$1:" "$work/a.log"; }
    for name in b c; do
      expect "$name" key asked
      [[ "$reply" == "ok open 1 asked 1 most 1 closed 0 "*"anderen Schlüssel"* ]] || fail "host $name asks: $reply"
      # Neither the lock nor the new key vouches for the server meanwhile.
      expect "$name" lock "Nicht verbunden"
      [[ "$reply" != *Fingerabdruck* ]] || fail "host $name shows a fingerprint while asking: $reply"
    done
    asked_joins_b=$(joins bob)
    asked_joins_c=$(joins carl)
    step "both ask; the user phones the operator for $key_wait s"
    until_answer=$((SECONDS + key_wait))
    while [ "$SECONDS" -lt "$until_answer" ]; do
      sleep 1
      for name in b c; do
        ask "$name" key state
        [ "$reply" = "ok open 1 asked 1 most 1 closed 0" ] || fail "host $name while asking: $reply"
        ask "$name" count '^Wieder verbunden$'
        [ "$reply" = "ok 0" ] || fail "host $name is back before its user decided: $reply"
      done
    done
    [ "$(joins bob)" = "$asked_joins_b" ] && [ "$(joins carl)" = "$asked_joins_c" ]       || fail "joins while asking: bob $asked_joins_b -> $(joins bob), carl $asked_joins_c -> $(joins carl)"
    step "one question each, and no join, for $key_wait s"
    expect b key cancel
    expect c key accept
    expect c users "carl (10.77.0.3)"
    expect c lock "Verschlüsselt"
    [[ "$reply" == *"$new_fingerprint"* ]] || fail "carl is not in with the new key $new_fingerprint: $reply"
    ask c count '^Der Benutzername ist bereits vergeben$'
    [ "$reply" = "ok 0" ] || fail "carl's late answer ended in a refused name: $reply"
    expect c say "nach dem Schlüsselwechsel"
    expect c line "carl: nach dem Schlüsselwechsel"
    # Several of bob's reconnect periods (1, 2, 4, 8 s): nothing goes to the server.
    sleep 16
    [ "$(joins bob)" = "$asked_joins_b" ] || fail "bob joined again after Abbrechen: $(grep '\$#neu:bob:' "$work/a.log")"
    ask b key state
    [ "$reply" = "ok open 0 asked 1 most 1 closed 0" ] || fail "bob after Abbrechen: $reply"
    step "no join from bob for 16 s after Abbrechen"
    # Bob connects again himself: asked once more, and in once he accepts.
    expect b connect 10.77.0.1 bob
    expect b key asked
    expect b key accept
    expect b users "carl (10.77.0.3);bob (10.77.0.2)"
    expect b lock "Verschlüsselt"
    ask b key state
    [ "$reply" = "ok open 0 asked 2 most 1 closed 0" ] || fail "bob's questions: $reply"
    used=$(printf '%s\n%s\n' "$used" "$(tokens)" | sort -u)
    [ "$(wc -l <<<"$used")" -ge 4 ] || fail "the new server issued no tokens: $used"
    for name in b c; do ask "$name" view; printf '%s\n' "$reply" >"$work/$name-view.log"; done
    for token in $used; do
      ! grep -rqF "$token" "$work"/*.log || fail "a resume token is in a log: $(grep -rlF "$token" "$work"/*.log)"
      ! grep -rqF "${token:0:16}" "$work"/*.log || fail "part of a resume token is in a log: $(grep -rlF "${token:0:16}" "$work"/*.log)"
    done
    step "$(wc -l <<<"$used") resume tokens, none in the logs: $(cd "$work" && ls *.log | tr '\n' ' ')"
    ;;

  dnssd)
    # Servers found in a second: host A announces its server through its own
    # Avahi daemon, and host B's search window lists it, with its fingerprint,
    # as soon as it appears. A restart with the same key keeps the fingerprint.
    for tool in avahi-daemon dbus-daemon; do
      command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed"
    done
    add_host a 1
    add_host b 2
    check_containment show
    step "LAN up: a=10.77.0.1 b=10.77.0.2"
    start_avahi a
    start_avahi b
    start_agent b
    # B's window is open and browsing before the server exists.
    echo "announced" >&"${in_fd[b]}"
    started=$(date +%s%3N)
    start_server
    grep -q 'Neuer Schl.ssel f.r diesen Server' "$work/a.log" || fail "the server made no key file"
    IFS= read -r -t 45 -u "${out_fd[b]}" reply || reply="fail no answer"
    [ "${reply%% *}" = ok ] || fail "B: the announced server did not appear: $reply"
    step "b: announced -> $reply"
    fingerprint=$(server_fingerprint)
    [ -n "$fingerprint" ] || fail "the server's log names no fingerprint"
    [[ "$reply" == "ok Kestrelon Chat auf "*" 10.77.0.1:5757  [$fingerprint] ("* ]] \
      || fail "B lists the server without its name, address or fingerprint ($fingerprint): $reply"
    listed=${reply##* epoch }
    step "listed at B $((listed - started)) ms after the server process started (Avahi probes the name for about 750 ms first)"
    grep -q 'DNS-SD: angek.ndigt als' "$work/a.log" || fail "the server does not log its announcement"
    # A window opened while the server is announced lists it within a second.
    expect b reopen
    [[ "$reply" =~ \(([0-9]+)\ ms\ after\ opening\) ]] || fail "no time in: $reply"
    opened_ms=${BASH_REMATCH[1]}
    [ "$opened_ms" -le 1000 ] || fail "B listed the announced server $opened_ms ms after opening the search window"
    step "a newly opened search window at B listed the server after $opened_ms ms"
    # avahi-browse as a witness of the TXT record on the wire.
    if command -v avahi-browse >/dev/null 2>&1; then
      witness=$(in_host b env DBUS_SYSTEM_BUS_ADDRESS="${bus_of[b]}" timeout 10 avahi-browse -rpt _kestrelon-chat._tcp)
      digits=${fingerprint// /}
      [[ "$witness" == *'10.77.0.1;5757;'*'"fp='"$digits"'"'* && "$witness" == *'"tls=offered"'* \
         && "$witness" == *'"proto=1"'* && "$witness" == *'"txtvers=1"'* && "$witness" == *'"sha256='* ]] \
        || fail "avahi-browse at B sees another record: $witness"
      step "avahi-browse at B: $(grep '^=' <<<"$witness" | head -n 1)"
    fi
    # The server stops: its announcement goes, and comes back with the same
    # fingerprint when it starts again with the same key.
    kill -TERM "$server_pid"
    wait "$server_pid" 2>/dev/null
    expect b gone
    started=$(date +%s%3N)
    start_server
    expect b announced
    step "listed at B again $((${reply##* epoch } - started)) ms after the server process started"
    [ "$(server_fingerprint)" = "$fingerprint" ] || fail "the restarted server has another fingerprint: $(server_fingerprint)"
    [[ "$reply" == *"  [$fingerprint] ("* ]] || fail "B lists the restarted server with another fingerprint: $reply"
    step "restarted with the same key: fingerprint $fingerprint again"
    # Connecting from the list uses the announced address and port.
    expect b pick 0 bob
    expect b users "bob (10.77.0.2)"
    expect b lock "Verschlüsselt"
    ask b view
    [[ "$reply" == *"Fingerabdruck des Servers: $fingerprint (SHA-256"* ]] || fail "B connected to another key: $reply"
    step "B joined the announced server, encrypted, with fingerprint $fingerprint"
    ;;

  irc)
    # WeeChat on host D in the room of bob (B) and carl (C), our clients; the
    # server window runs on host A, its operator at the keys. Public lines,
    # whispers and private windows both ways; the operator kicks WeeChat,
    # bob and carl talk on, WeeChat connects again and asks the server for
    # what it missed (CHATHISTORY AFTER the moment it left). Every line
    # arrives once and whole, on both sides.
    irc_ready
    for name in a b c d; do add_host "$name" $(( $(printf '%d' "'$name") - 96 )); done
    check_containment show
    start_agent a
    expect a serve 5757 6667
    start_agent b
    start_agent c
    join_two
    on_host d
    weechat_start wee 10.77.0.1 6667 wee
    room='lan.#chat.weechatlog'
    weechat_wait wee "$room" $'\t-->\twee .*has joined #chat'
    weechat_wait wee lan.lan.weechatlog 'capability.*draft/chathistory'
    step "d: WeeChat registered and is in #chat"
    expect b users "bob (10.77.0.2);carl (10.77.0.3);wee (10.77.0.4)"
    expect a susers "bob (0);carl (1);wee (2)"

    expect b say "Grüße aus B: Łódź 👍"
    weechat_wait wee "$room" $'\tbob\tGrüße aus B: Łódź 👍$'
    step "d: WeeChat has bob's line whole"
    weechat_in wee irc.lan.#chat "Hallo von WeeChat: Łódź 👍 & <b>"
    expect b line "wee: Hallo von WeeChat: Łódź 👍 & <b>"
    expect c line "wee: Hallo von WeeChat: Łódź 👍 & <b>"

    # A whisper is a NOTICE on IRC, both ways.
    expect c whisper wee "nur für dich 👍"
    expect c line "Private Nachricht an wee: nur für dich 👍"
    weechat_wait wee lan.lan.weechatlog $'\t--\tcarl \\(kc@10\\.77\\.0\\.3\\): nur für dich 👍$'
    step "d: WeeChat has carl's whisper as a notice"
    weechat_cmd wee "/notice bob geflüstert: Łódź"
    expect b line "Private Nachricht von: wee"
    expect b line "Private Nachricht: geflüstert: Łódź"

    # A private window is a query on IRC, both ways.
    expect b pchat wee "privat hallo 👍"
    weechat_wait wee lan.bob.weechatlog $'\tbob\tprivat hallo 👍$'
    step "d: WeeChat has bob's private line in a query"
    weechat_cmd wee "/msg bob privat zurück: Łódź"
    expect b pline wee "wee: privat zurück: Łódź"

    # The operator kicks WeeChat. The kick holds: the same nick from the same
    # address is refused when WeeChat connects again; under another nick it
    # is back in the room.
    left_at=$(date -u +%Y-%m-%dT%H:%M:%S.%3NZ)
    expect a kick wee
    weechat_wait wee "$room" $'\t<--\tServer has kicked wee'
    weechat_wait wee lan.lan.weechatlog 'irc: disconnected from server'
    step "d: WeeChat was kicked by Server and is disconnected"
    expect b users "bob (10.77.0.2);carl (10.77.0.3)"
    expect b say "während du weg warst: Łódź 👍"
    expect c say "auch von carl"
    expect c line "bob: während du weg warst: Łódź 👍"
    expect b line "carl: auch von carl"
    before=$(weechat_lines wee lan.lan.weechatlog)
    weechat_cmd wee "/connect lan"
    weechat_wait wee lan.lan.weechatlog 'You are banned from this server' "$before"
    weechat_wait wee lan.lan.weechatlog 'irc: disconnected from server' "$before"
    expect b users "bob (10.77.0.2);carl (10.77.0.3)"
    step "d: the kick holds for the nick wee"
    before=$(weechat_lines wee "$room")
    weechat_in wee irc.server.lan "/nick weechat"
    weechat_cmd wee "/connect lan"
    weechat_wait wee "$room" $'\t-->\tweechat .*has joined #chat' "$before"
    expect b users "bob (10.77.0.2);carl (10.77.0.3);weechat (10.77.0.4)"
    step "d: WeeChat is back as weechat; asks for what it missed since $left_at"
    weechat_in wee irc.server.lan "/quote CHATHISTORY AFTER #chat timestamp=$left_at 100"
    weechat_wait wee "$room" $'\tbob\twährend du weg warst: Łódź 👍$' "$before"
    weechat_wait wee "$room" $'\tcarl\tauch von carl$' "$before"
    expect b say "wieder da, weechat"
    weechat_wait wee "$room" $'\tbob\twieder da, weechat$' "$before"
    weechat_in wee irc.lan.#chat "danke, alles da"
    expect c line "weechat: danke, alles da"

    # Every line once, and whole, at WeeChat ...
    for line in $'bob\tGrüße aus B: Łódź 👍' $'wee\tHallo von WeeChat: Łódź 👍 & <b>' \
                $'bob\twährend du weg warst: Łódź 👍' $'carl\tauch von carl' $'bob\twieder da, weechat' \
                $'weechat\tdanke, alles da'; do
      n=$(awk -F'\t' -v want="$line" '$2 "\t" $3 == want' "$irc_work/weechat-wee/logs/$room" | wc -l)
      [ "$n" = 1 ] || fail "WeeChat shows '${line//$'\t'/: }' $n times: $(tr '\t' ' ' <"$irc_work/weechat-wee/logs/$room" | tail -n 20)"
    done
    [ "$(weechat_count wee lan.bob.weechatlog 'privat hallo 👍')" = 1 ] || fail "WeeChat has bob's private line other than once"
    step "d: every line once and whole, the missed ones from the history"
    # ... and at bob and carl.
    for text in "wee: Hallo von WeeChat: Łódź 👍 & <b>" "weechat: danke, alles da" "bob: während du weg warst: Łódź 👍"; do
      once_at b "$text"
      once_at c "$text"
    done
    once_at b "Private Nachricht: geflüstert: Łódź"
    step "b, c: WeeChat's lines once and whole"
    ;;

  irssi)
    # irssi on host C registers with the headless server on A and talks with bob (B).
    irc_ready
    server_args=(--irc-port 6667 --irc-tls-port 0)
    lan_hosts a b c
    expect b join 10.77.0.1 bob
    on_host c
    irssi_start iris 10.77.0.1 6667 iris
    irssi_wait iris 'lan/#chat.log' 'iris .*has joined #chat'
    expect b users "bob (10.77.0.2);iris (10.77.0.3)"
    step "c: irssi registered and is in #chat"
    expect b say "Grüße an irssi: Łódź 👍"
    irssi_wait iris 'lan/#chat.log' '^[0-9:]+ < ?bob> Grüße an irssi: Łódź 👍$'
    irssi_type iris "/msg #chat Grüße von irssi: Łódź 👍"
    expect b line "iris: Grüße von irssi: Łódź 👍"
    once_at b "iris: Grüße von irssi: Łódź 👍"
    [ "$(irssi_count iris 'lan/#chat.log' 'Grüße an irssi: Łódź 👍$')" = 1 ] || fail "irssi shows bob's line other than once"
    ;;

  *)
    fail "unknown scenario $scenario"
    ;;
esac

report_traffic
echo "PASS: $scenario"
