#!/usr/bin/env bash
# Makes docs/fake-author.png from the real program under Xvfb: a client's chat
# view after a pasted "ok⏎Anna: ..." (one line, its second row marked as part
# of it), a line in white (drawn legible on the white view), and a line of
# 5,000 characters (folded, with its mark).
#
#   tools/screenshots-views.sh BUILD_DIR
#
# Needs what tools/screenshots.sh needs. Runs in a private network namespace
# with only loopback.
set -euo pipefail
shot_display=:79
. "$(dirname "$0")/shotsetup.sh"

# A raw chat peer on file descriptor $1: every write is one command, Windows-1252.
send() { printf '%b' "$2" >&"$1"; sleep 0.4; }

serve_and_join
# Bob is one of our older clients: it speaks frames (a marked join, then
# length:command,), so that a text with a break travels as one command.
exec {anna}<>/dev/tcp/127.0.0.1/5757
send "$anna" '$#neu:Anna:32768:127.0.0.1#'
exec {bob}<>/dev/tcp/127.0.0.1/5757
send "$bob" '$#neu:Bob:255:127.0.0.1#kcx:frame'
exec {weiss}<>/dev/tcp/127.0.0.1/5757
send "$weiss" '$#neu:Wei\xdf:16777215:127.0.0.1#'
long="Protokoll:"
for n in $(seq 1 420); do long+=" Wert$n"; done
LC_ALL=C frame "\$#user:Bob:255#$long" >&"$bob"; sleep 0.4
send "$anna" '$#user:Anna:32768#Wer kommt heute mit in die Kantine?'
LC_ALL=C frame '$#user:Bob:255#ok\nAnna: Ich gebe heute allen einen aus!' >&"$bob"; sleep 0.4
send "$weiss" '$#user:Wei\xdf:16777215#Ich schreibe in Wei\xdf, und doch liest man mich.'
send "$anna" '$#user:Anna:32768#Danke, Bob!'
xdotool windowsize --sync "$client" 860 560
xdotool windowmove --sync "$client" 20 20
sleep 1
shoot clientForm fake-author.png
