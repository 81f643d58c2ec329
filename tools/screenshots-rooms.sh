#!/usr/bin/env bash
# Makes docs/client-rooms.png from the real program under Xvfb: Bettina
# makes the room "Küche" through the menu Räume, enters anna's open room
# "Technik", is invited into anna's room "Projekt" (for invited users only)
# and enters it; anna then writes in the rooms whose tabs are not in front.
#
#   tools/screenshots-rooms.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs. Runs in a private network namespace
# with only loopback; anna is a framed peer of the wire, played from bash.
set -euo pipefail
shot_display=:82
. "$(dirname "$0")/shotsetup.sh"

# anna sends the command $1, framed.
anna() { frame "$1" >&"$anna"; sleep 0.5; }
# Picks "Räume" in the client's menu bar, then the entry $1 (1 to 4).
rooms_menu() {
  xdotool windowactivate --sync "$client"
  xdotool key alt+r
  sleep 0.3
  for _ in $(seq 2 "$1"); do xdotool key Down; done
  xdotool key Return
  sleep 0.5
}
# Answers the input dialog titled $1 with $2.
answer() {
  window "$1" >/dev/null
  xdotool key ctrl+a && xdotool type --delay 20 "$2" && xdotool key Return
  sleep 0.4
}

serve_and_join
exec {anna}<>/dev/tcp/127.0.0.1/5757
printf '%s' '$#neu:anna:0:127.0.0.1#kcx:frame,utf8,rooms' >&"$anna"; sleep 0.6
anna '$#rmake:Technik:o#Server, Netz und Drucker'
anna '$#rmake:Projekt:i#Angebot für Müller & Co.'
anna '$#rinvite:Projekt:Bettina#'

# Bettina makes "Küche", open to all, with a topic.
rooms_menu 1
answer 'Raum anlegen' 'Küche'
answer 'Raum anlegen' 'Kaffee, Kuchen und der Plan fürs Sommerfest'
window 'Raum anlegen' >/dev/null
xdotool key Return                      # "Alle"
sleep 0.8
# ... enters anna's open room and the one she was invited to.
rooms_menu 2
answer 'Raum betreten' 'Technik'
rooms_menu 2
answer 'Raum betreten' 'Projekt'
anna '$#rjoin:Küche:#'
# A click on the Küche tab: the others show what came meanwhile.
xdotool windowsize --sync "$client" 720 460
sleep 0.5
xdotool windowactivate --sync "$client"
xdotool mousemove --window "$client" 98 118 click 1
sleep 0.3
anna '$#rsay:Projekt:16711680#Der Entwurf liegt im Ordner, bitte bis Freitag lesen.'
anna '$#rsay:Projekt:16711680#Bettina, kannst du die Preise prüfen?'
anna '$#rsay:Technik:32768#Der Drucker im 2. Stock geht wieder.'
xdotool mousemove --window "$client" 270 426 click 1
xdotool key ctrl+a && xdotool type --delay 20 'Wer bringt Kuchen mit?' && xdotool key Return
sleep 0.3
anna '$#rsay:Küche:255#Bettina, ich backe einen Apfelkuchen 🍎'
sleep 0.8
import -window root "${KC_SHOT_ROOT:-/dev/null}" 2>/dev/null || true
shoot clientForm client-rooms.png
