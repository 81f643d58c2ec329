#!/usr/bin/env bash
# Makes docs/client-search.png from the real program under Xvfb: Bettina has
# logs of earlier days (main chat, a room, a private chat with anna), joins,
# anna writes about cake, and "Verlauf durchsuchen" (Ctrl+Shift+F) finds it
# all as "kuchen" is typed, the line just said first.
#
#   tools/screenshots-search.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs. Runs in a private network namespace
# with only loopback; logs and index go to a scratch data folder. With
# KC_SHOT_KEEP=DIR it also leaves a picture of the window that a click on the
# first line opens in DIR.
set -euo pipefail
shot_display=:82
. "$(dirname "$0")/shotsetup.sh"

# Earlier days, as the client wrote them.
logs=$XDG_DATA_HOME/kestrelon-chat/logs/localhost_5757
mkdir -p "$logs/privat" "$logs/raum"
day() { date -d "-$1 days" +%F; }
cat >"$logs/chat-$(day 9).log" <<'LOG'
[09:12:04] --- Verbunden mit localhost:5757 als Bettina
[09:14:31] carl: Guten Morgen zusammen!
[10:02:17] dora: Wer hat Geburtstag? Im Flur steht ein Kuchen.
[10:03:40] carl: Der Käsekuchen ist von Jürgen, glaube ich
LOG
cat >"$logs/raum/K%C3%BCche-$(day 6).log" <<'LOG'
[12:30:10] emil: Die Spülmaschine ist fertig
[12:41:55] dora: Bitte keine Kuchenreste im Kühlschrank vergessen ;)
LOG
cat >"$logs/privat/anna-$(day 2).log" <<'LOG'
[16:05:12] anna: Backst du am Freitag wieder deinen KUCHEN?
[16:06:40] Bettina: Klar, Apfelkuchen mit Zimt
[16:07:02] anna: <b>Super</b>, ich bringe Sahne mit
LOG
cat >"$logs/chat-$(day 1).log" <<'LOG'
[11:20:00] günther: Die Präsentation liegt im Projektordner
[15:44:09] carl: Danke für den Kuchen, Bettina! War köstlich.
LOG

serve_and_join
exec {anna}<>/dev/tcp/127.0.0.1/5757
printf '%s' '$#neu:anna:0:127.0.0.1#kcx:frame,utf8' >&"$anna"; sleep 0.6
frame '$#user:anna:32768#Ist noch Kuchen da? Ich komme gleich rüber.' >&"$anna"; sleep 1

xdotool windowactivate --sync "$client"
xdotool key ctrl+shift+f
search=$(window 'Verlauf durchsuchen')
xdotool windowmove --sync "$search" 30 30
xdotool windowactivate --sync "$search"
xdotool type --delay 60 'kuchen'
sleep 1.5
shoot 'Verlauf durchsuchen' client-search.png
if [ -n "${KC_SHOT_KEEP:-}" ]; then
  # A real click on the last line found: the log of that day opens at it.
  xdotool mousemove --window "$search" 400 116 click 1
  sleep 1.5
  id=$(window 'Hauptchat,')
  import -silent -frame -window "$id" "$KC_SHOT_KEEP/reader.png"
  xdotool windowactivate --sync "$id" && xdotool key ctrl+f && xdotool type --delay 40 'kuchen'
  sleep 0.8
  import -silent -frame -window "$id" "$KC_SHOT_KEEP/reader-find.png"
  import -silent -window root "$KC_SHOT_KEEP/root.png"
fi
