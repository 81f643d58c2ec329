#!/usr/bin/env bash
# Makes docs/client-mention.png and docs/client-away.png from the real program
# under Xvfb. Bettina's client window is behind her private chat with anna:
# lines in the main chat are counted in its title, the one that names her is
# highlighted, and anna types; then anna is away, and the user list shows it
# with her text as the tooltip.
#
#   tools/screenshots-attention.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs. Runs in a private network namespace
# with only loopback.
set -euo pipefail
shot_display=:83
. "$(dirname "$0")/shotsetup.sh"

# Framed peers of ours that speak "away"; what the server sends them is drained.
peer() { # fd variable, name
  exec {fd}<>/dev/tcp/127.0.0.1/5757
  printf '%s' "\$#neu:$2:0:127.0.0.1#kcx:frame,utf8,away" >&"$fd"
  cat <&"$fd" >/dev/null &
  pids+=($!)
  printf -v "$1" '%d' "$fd"
  sleep 0.6
}
say() { frame "$2" >&"$1"; sleep 0.5; }

serve_and_join
peer anna anna
peer carl Carl
client=$(window clientForm)
xdotool windowmove --sync "$client" 10 10

say "$anna" '$#pchat:Bettina:anna#Hast du kurz Zeit?'
private=$(window '(\(1\) )?anna')
xdotool windowmove --sync "$private" 560 300
xdotool windowactivate --sync "$private"
xdotool key ctrl+a && xdotool type --delay 20 'Gleich, bin im Meeting.' && xdotool key Return
sleep 0.5
say "$carl" '$#user:Carl:32768#Wer kommt heute mit zur Kantine?'
say "$anna" '$#user:anna:16711680#Ich, um halb eins.'
say "$carl" '$#user:Carl:32768#@bettina, hast du die Folien für morgen?'
say "$anna" '$#user:anna:16711680#Bettinas Folien liegen im Projektordner.'
say "$anna" '$#typing:Bettina#'
sleep 0.8
import -silent -window root "$docs/client-mention.png"
echo docs/client-mention.png

# anna goes away; Bettina looks at the list and points at her.
say "$anna" '$#away:1#Beim Mittagessen, ab 13 Uhr wieder da'
xdotool windowminimize --sync "$private"
xdotool windowactivate --sync "$client"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$client")"
# The user list sits at the right of the chat view; anna is its second line.
for step in 0 2 4 6 8; do
  xdotool mousemove $((X + WIDTH - 120 + step)) $((Y + 108 + step / 4))
  sleep 0.2
done
sleep 3
import -silent -window root -crop "820x$((HEIGHT + 60))+0+0" "$docs/client-away.png"
echo docs/client-away.png
