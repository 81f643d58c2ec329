# Sourced by the screenshot scripts: a desktop under Xvfb with openbox, and
# the helpers that find and photograph the program's windows. Expects DISPLAY,
# $work (a scratch folder), $docs (where pictures go) and the array pids
# (processes the caller's cleanup ends).

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
