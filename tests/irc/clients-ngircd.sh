#!/usr/bin/env bash
# The IRC programs' harness (ircclients.sh) on its own, against Debian's
# ngircd: irssi and WeeChat register, talk in the channel and in private both
# ways, irssi (the channel's first member, so its operator) kicks WeeChat,
# which leaves, comes back and talks again. Run by hand where a harness
# change is to be tried without our server; the suite's scenarios with our
# server are in tests/lan/lan.sh (irc, irssi).
#
# Runs in a network namespace of its own with only loopback. Exit 77 when
# something it needs is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() {
  echo "FAIL: $*"
  for f in "$irc_work"/*.log; do echo "----- ${f##*/}"; tail -n 15 "$f"; done
  echo "----- irssi's screen"; irssi_screen iris
  exit 1
}
step() { echo "[irc] $*"; }

command -v ngircd >/dev/null 2>&1 || [ -x /usr/sbin/ngircd ] || skip "ngircd is not installed"
if [ "${KC_IRC_INSIDE:-}" != 1 ]; then
  flags=(--net)
  [ "$(id -u)" -ne 0 ] && flags=(--user --map-root-user "${flags[@]}")
  unshare "${flags[@]}" true 2>/dev/null || skip "this machine allows no network namespace here"
  exec unshare "${flags[@]}" env KC_IRC_INSIDE=1 bash -c 'ip link set lo up && exec "$@"' bash "$0" "$@"
fi

irc_work=$(mktemp -d /tmp/kcircXXXXXX)
irc_run=
export HOME=$irc_work
# shellcheck source=ircclients.sh
. "$here/ircclients.sh"
trap 'irc_clients_stop; kill $ngircd_pid 2>/dev/null; wait 2>/dev/null; [ -n "${KC_IRC_KEEP:-}" ] && cp -r "$irc_work" "$KC_IRC_KEEP"; rm -rf "$irc_work"' EXIT

cat >"$irc_work/ngircd.conf" <<EOF
[Global]
Name = irc.test
Info = harness check
Listen = 127.0.0.1
Ports = 16667
[Limits]
MaxPenaltyTime = 0
MaxNickLength = 30
[Options]
DNS = no
Ident = no
PAM = no
EOF
"$(command -v ngircd || echo /usr/sbin/ngircd)" -n -f "$irc_work/ngircd.conf" >"$irc_work/ngircd.log" 2>&1 &
ngircd_pid=$!
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/16667) 2>/dev/null && break; sleep 0.1; done

irssi_start iris 127.0.0.1 16667 iris
irssi_wait iris lan/#chat.log 'Join.*iris.*#chat|iris .* has joined #chat'
step "irssi registered and joined #chat"
weechat_start wee 127.0.0.1 16667 wee
weechat_wait wee 'lan.#chat.weechatlog' $'\t-->\twee .*has joined #chat'
step "WeeChat registered and joined #chat"
irssi_wait iris lan/#chat.log 'wee .*has joined #chat'

weechat_in wee irc.lan.#chat "Hallo von WeeChat: Łódź 👍"
irssi_wait iris lan/#chat.log '^[0-9:]+ < ?wee> Hallo von WeeChat: Łódź 👍$'
step "WeeChat -> irssi in #chat, whole"
irssi_type iris "/msg #chat Hallo von irssi: Łódź 👍"
weechat_wait wee 'lan.#chat.weechatlog' $'\t@?iris\tHallo von irssi: Łódź 👍$'
step "irssi -> WeeChat in #chat, whole"
weechat_cmd wee "/msg iris nur für dich 👍"
irssi_wait iris lan/wee.log '^[0-9:]+ < ?wee> nur für dich 👍$'
irssi_type iris "/msg wee auch nur für dich"
weechat_wait wee 'lan.iris.weechatlog' $'\tiris\tauch nur für dich$'
step "private lines both ways"

irssi_type iris "/kick #chat wee raus"
weechat_wait wee 'lan.#chat.weechatlog' $'\t<--\t.*iris.* has kicked wee'
step "irssi kicked WeeChat"
weechat_cmd wee "/disconnect lan"
weechat_wait wee lan.lan.weechatlog 'irc: disconnected from server'
irssi_type iris "/msg #chat während du weg warst 1"
irssi_wait iris lan/#chat.log '^[0-9:]+ <@iris> während du weg warst 1$'
before=$(weechat_lines wee 'lan.#chat.weechatlog')
weechat_cmd wee "/connect lan"
weechat_wait wee 'lan.#chat.weechatlog' $'\t-->\twee .*has joined #chat' "$before"
irssi_type iris "/msg #chat wieder da? Łódź 👍"
weechat_wait wee 'lan.#chat.weechatlog' $'\t@?iris\twieder da\\? Łódź 👍$'
step "WeeChat back after the kick"
for text in "Hallo von irssi: Łódź 👍" "wieder da\\? Łódź 👍"; do
  n=$(weechat_count wee 'lan.#chat.weechatlog' $'\t@?iris\t'"$text\$")
  [ "$n" = 1 ] || fail "WeeChat shows '$text' $n times"
done
[ "$(weechat_count wee 'lan.#chat.weechatlog' 'während du weg warst')" = 0 ] \
  || fail "WeeChat shows a line said while it was away (ngircd keeps no history): $(grep 'weg warst' "$irc_work/weechat-wee/logs/lan.#chat.weechatlog")"
step "every line once, and nothing from the time away (ngircd has no chathistory)"
echo "PASS: irssi and WeeChat through ngircd"
