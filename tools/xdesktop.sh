# Sourced by the screenshot scripts: a desktop under Xvfb with openbox, and
# the helpers that find and photograph the program's windows. Expects DISPLAY,
# $work (a scratch folder), $docs (where pictures go), $program and the array
# pids (processes the caller's cleanup ends).

start_desktop() {
  Xvfb "$DISPLAY" -screen 0 900x620x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  sleep 1
  HOME=$work openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
  sleep 1
  xsetroot -solid '#5a6b7c'
}

# The id of the visible window titled $1 (Qt adds " — Kestrelon Chat").
window() {
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1( |\$)" 2>/dev/null | head -1) || true
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.2
  done
  echo "no window '$1'" >&2
  return 1
}

shoot() { # window title, file
  local id
  id=$(window "$1")
  xdotool windowactivate --sync "$id" 2>/dev/null || true
  sleep 0.5
  import -silent -frame -window "$id" "$docs/$2"
  echo "docs/$2"
}

# A frame of our framed wire: the payload's length in bytes, ":", the
# payload, ",".
frame() { local LC_ALL=C c; c=$(printf '%b' "$1"); printf '%d:%s,' "${#c}" "$c"; }

# A --headless server on port 5757 and the program as a client that joins it
# as Bettina through the start window and its two questions. The logs are
# $work/${1}server.log and $work/${1}client.log; sets server_pid, client_pid
# and client (the client window's id).
serve_and_join() {
  "$program" --headless --port 5757 >"$work/${1:-}server.log" 2>&1 &
  server_pid=$!
  pids+=($!)
  for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/5757) 2>/dev/null && break; sleep 0.1; done
  "$program" >"$work/${1:-}client.log" 2>&1 &
  client_pid=$!
  pids+=($!)
  xdotool windowactivate --sync "$(window auswahlForm)"
  xdotool key space                      # "Chatclient starten"
  client=$(window clientForm)
  xdotool windowactivate --sync "$client"
  xdotool key space                      # "verbinden"
  window 'Verbindung aufbauen zu:' >/dev/null
  xdotool key ctrl+a && xdotool type --delay 20 localhost && xdotool key Return
  window Benutername >/dev/null
  xdotool key ctrl+a && xdotool type --delay 20 Bettina && xdotool key Return
  sleep 1.5
}
