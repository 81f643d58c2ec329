#!/usr/bin/env bash
# Makes docs/client-log.png from the real program under Xvfb: Bettina chats
# privately with anna, closes the window, and when anna writes again the
# fresh window starts with their earlier lines, read from the log, in grey.
#
#   tools/screenshots-log.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs, and the emoji font kestrelon.sh
# installs. Runs in a private network namespace with only loopback; the log
# goes to a scratch data folder.
set -euo pipefail
shot_display=:82
. "$(dirname "$0")/shotsetup.sh"

# anna says $1 to Bettina, privately.
anna() { frame "\$#pchat:Bettina:anna#$1" >&"$anna"; sleep 0.6; }

serve_and_join
exec {anna}<>/dev/tcp/127.0.0.1/5757
printf '%s' '$#neu:anna:0:127.0.0.1#kcx:frame,utf8' >&"$anna"; sleep 0.6
anna 'Hallo Bettina! Kommst du nachher zum Grillen? 🔥'
private=$(window anna)
xdotool windowactivate --sync "$private"
xdotool key ctrl+a && xdotool type --delay 20 'Gern! Ich bringe Salat mit 🥗' && xdotool key Return
sleep 0.4
anna 'Super, um 18 Uhr bei mir 👍'
xdotool windowactivate --sync "$private"
xdotool key ctrl+a && xdotool type --delay 20 'Bis später!' && xdotool key Return
sleep 0.4
xdotool windowactivate --sync "$private" && xdotool key alt+F4
sleep 1.5
anna 'Bist du schon unterwegs? Es regnet ☔'
private=$(window anna)
xdotool windowmove --sync "$private" 40 40
sleep 1
shoot anna client-log.png
