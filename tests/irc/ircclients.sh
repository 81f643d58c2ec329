# Real IRC programs as users of a chat, for scripts that source this file:
# WeeChat (weechat-headless, commands through its FIFO) and irssi (in a tmux
# session of its own, commands typed as keys). Each keeps its own folder under
# $irc_work and logs every buffer to a file, which the wait functions read.
#
# The caller sets irc_work (a folder of the run) and may set irc_run, a
# command prefix that puts the programs on a test host (e.g. "nsenter -t PID
# -n --"). Functions fail through the caller's `fail`.
#
#   weechat_start NAME HOST PORT NICK     connects, joins the server's channel
#   weechat_cmd NAME COMMAND              a command in WeeChat's core buffer
#   weechat_in NAME BUFFER COMMAND        a command or text in that buffer
#   weechat_wait NAME FILE REGEX [AFTER]  until FILE of its logs has a line
#                                         matching REGEX (extended), past its
#                                         first AFTER lines
#   weechat_lines NAME FILE               lines of FILE so far (for AFTER)
#   weechat_count NAME FILE REGEX         lines of FILE matching, now
#   irssi_start NAME HOST PORT NICK       connects; the server's channel is joined
#   irssi_type NAME TEXT                  TEXT and Enter, in the window shown
#   irssi_wait, irssi_lines, irssi_count      as for WeeChat
#   irc_clients_stop                      ends every program started here
#
# Log lines: WeeChat "DATE TIME<TAB>NICK<TAB>TEXT" (a mode sign such as @ may
# precede NICK); irssi "HH:MM <NICK> TEXT" (with a space or mode sign before
# NICK). FILE is the log's name: WeeChat's are SERVER.BUFFER.weechatlog,
# irssi's SERVER/TARGET.log, lower case.

irc_pids=()
irc_tmux_sockets=()

irc_wait_file() { # what file regex [after-line]: a matching line past the first AFTER lines
  local until=$((SECONDS + 30)) from=$(( ${4:-0} + 1 ))
  while [ "$SECONDS" -le "$until" ]; do
    [ -f "$2" ] && tail -n "+$from" "$2" | grep -qE -- "$3" && return 0
    sleep 0.1
  done
  fail "$1 did not show a line matching '$3' in ${2##*/}: $( [ -f "$2" ] && tail -n 8 "$2" | tr '\t' ' ' | tr '\n' '|')"
}

irc_lines_file() { # file: its lines so far
  if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi
}

irc_count_file() { # file regex
  if [ -f "$1" ]; then grep -cE -- "$2" "$1"; else echo 0; fi
}

weechat_start() { # name host port nick
  local name=$1 host=$2 port=$3 nick=$4 dir=$irc_work/weechat-$1
  command -v weechat-headless >/dev/null 2>&1 || skip "weechat-headless is not installed (apt-get install weechat-headless)"
  [ -e /usr/lib/x86_64-linux-gnu/weechat/plugins/fifo.so ] || ls /usr/lib/*/weechat/plugins/fifo.so >/dev/null 2>&1 \
    || skip "WeeChat's FIFO plugin is not installed (apt-get install weechat-plugins)"
  mkdir -p "$dir/home" "$dir/logs"
  # Startup commands, one per -r; the server connects once all are set.
  local commands=(
    "/set fifo.file.enabled on"
    "/set fifo.file.path $dir/fifo"
    "/set logger.file.path $dir/logs"
    "/set logger.file.mask \$server.\$channel.weechatlog"
    "/set logger.file.flush_delay 0"
    "/set logger.file.time_format %Y-%m-%d %H:%M:%S"
    "/set logger.level.irc 9"
    "/set irc.look.temporary_servers on"
    "/set irc.look.buffer_open_before_autojoin on"
    "/set irc.server_default.autoreconnect off"
    "/set irc.server_default.autorejoin off"
    "/set irc.server_default.tls off"
    "/set irc.server_default.anti_flood_prio_high 0"
    "/set irc.server_default.anti_flood_prio_low 0"
    "/server add lan $host/$port -notls -nicks=$nick -username=$nick -realname=WeeChat"
    "/set irc.server.lan.autojoin #chat"
    # Every capability both sides know, and the history (WeeChat has no
    # command of its own for it; the scenario asks with /quote).
    "/set irc.server.lan.capabilities *,draft/chathistory"
    "/connect lan"
  )
  local args=() c
  for c in "${commands[@]}"; do args+=(-r "$c"); done
  $irc_run weechat-headless --dir "$dir/home" "${args[@]}" >"$irc_work/weechat-$name.log" 2>&1 &
  irc_pids+=($!)
  local until=$((SECONDS + 20))
  while [ ! -p "$dir/fifo" ]; do
    [ "$SECONDS" -le "$until" ] || fail "WeeChat $name made no FIFO: $(tail -n 5 "$irc_work/weechat-$name.log")"
    kill -0 "${irc_pids[-1]}" 2>/dev/null || fail "WeeChat $name ended: $(tail -n 5 "$irc_work/weechat-$name.log")"
    sleep 0.1
  done
}

weechat_cmd() { # name command
  printf '*%s\n' "$2" >"$irc_work/weechat-$1/fifo"
}

weechat_in() { # name buffer (e.g. irc.lan.#chat) text-or-command
  printf '%s *%s\n' "$2" "$3" >"$irc_work/weechat-$1/fifo"
}

weechat_wait() { # name file regex [after-line]
  irc_wait_file "WeeChat $1" "$irc_work/weechat-$1/logs/$2" "$3" "${4:-0}"
}

weechat_lines() { # name file
  irc_lines_file "$irc_work/weechat-$1/logs/$2"
}

weechat_count() { # name file regex
  irc_count_file "$irc_work/weechat-$1/logs/$2" "$3"
}

irssi_start() { # name host port nick
  local name=$1 host=$2 port=$3 nick=$4 dir=$irc_work/irssi-$1
  command -v irssi >/dev/null 2>&1 || skip "irssi is not installed (apt-get install irssi)"
  command -v tmux >/dev/null 2>&1 || skip "tmux is not installed (apt-get install tmux)"
  mkdir -p "$dir/home" "$dir/logs"
  cat >"$dir/home/config" <<EOF
servers = ( { address = "$host"; chatnet = "lan"; port = "$port"; use_tls = "no"; autoconnect = "yes"; } );
chatnets = { lan = { type = "IRC"; }; };
channels = ( { name = "#chat"; chatnet = "lan"; autojoin = "yes"; } );
settings = {
  core = { real_name = "irssi"; user_name = "$nick"; nick = "$nick"; };
  # What is typed goes out at once: a line in the log is a line sent.
  "irc/core" = { cmd_queue_speed = "0msec"; cmds_max_at_once = "1000"; };
  "fe-common/core" = { autolog = "yes"; autolog_path = "$dir/logs/\$tag/\${0}.log"; autolog_level = "all -crap -clientcrap -ctcps"; };
};
EOF
  local socket=$irc_work/tmux-$name
  irc_tmux_sockets+=("$socket")
  $irc_run tmux -S "$socket" new-session -d -s irssi -x 200 -y 50 \
    "TERM=screen-256color irssi --home='$dir/home' 2>'$irc_work/irssi-$name.err'" \
    || fail "tmux for irssi $name does not start"
}

irssi_type() { # name text
  tmux -S "$irc_work/tmux-$1" send-keys -t irssi -l -- "$2" || fail "cannot type into irssi $1"
  tmux -S "$irc_work/tmux-$1" send-keys -t irssi Enter
}

irssi_wait() { # name file regex [after-line]
  irc_wait_file "irssi $1" "$irc_work/irssi-$1/logs/$2" "$3" "${4:-0}"
}

irssi_lines() { # name file
  irc_lines_file "$irc_work/irssi-$1/logs/$2"
}

irssi_count() { # name file regex
  irc_count_file "$irc_work/irssi-$1/logs/$2" "$3"
}

irssi_screen() { # name: what its terminal shows now
  tmux -S "$irc_work/tmux-$1" capture-pane -p -t irssi 2>/dev/null
}

irc_clients_stop() {
  local p s
  for p in "${irc_pids[@]}"; do kill "$p" 2>/dev/null; done
  for s in "${irc_tmux_sockets[@]}"; do tmux -S "$s" kill-server 2>/dev/null; done
  return 0
}
