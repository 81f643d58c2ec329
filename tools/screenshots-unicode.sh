#!/usr/bin/env bash
# Makes docs/client-unicode.png from the real program under Xvfb: a client in
# the chat with "Łukasz", whose line holds umlauts, an emoji, Polish, Greek
# and Japanese, and with an older client's "Grüße €" in Windows-1252.
#
#   tools/screenshots-unicode.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs, and the fonts kestrelon.sh installs
# (fonts-noto-color-emoji, fonts-noto-cjk). Runs in a private network
# namespace with only loopback.
set -euo pipefail
shot_display=:81
. "$(dirname "$0")/shotsetup.sh"

# A raw chat peer on file descriptor $1: every write is one command.
send() { printf '%b' "$2" >&"$1"; sleep 0.4; }

serve_and_join
# Łukasz speaks frames and utf8: the field in Windows-1252, the whole name behind the list.
exec {lukasz}<>/dev/tcp/127.0.0.1/5757
send "$lukasz" '$#neu:?ukasz:32768:127.0.0.1#kcx:frame,utf8:%C5%81ukasz'
# Jürgen's client is older: Windows-1252, no extension.
exec {juergen}<>/dev/tcp/127.0.0.1/5757
send "$juergen" '$#neu:J\xfcrgen:176:127.0.0.1#'
frame '$#user:Łukasz:32768#Grüße 👍 Łódź € Ελλάδα 日本' >&"$lukasz"; sleep 0.4
send "$juergen" '$#user:J\xfcrgen:176#Gr\xfc\xdfe \x80'
frame '$#user:Łukasz:32768#Dzięki, Jürgen! 😀 🎉' >&"$lukasz"; sleep 0.4
xdotool windowsize --sync "$client" 760 420
xdotool windowmove --sync "$client" 20 20
sleep 1
shoot clientForm client-unicode.png
