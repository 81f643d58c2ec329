# Sourced first by the screenshot scripts, with their arguments (BUILD_DIR):
# moves the script into a private network namespace with only loopback,
# checks the tools, starts a desktop under Xvfb on ${KC_SHOT_DISPLAY:-$shot_display}
# and sets $build, $program, $docs, $work (a scratch folder that holds the
# keys, pins and logs of the run, and goes at the end) and the array pids
# (processes ended at the end). KC_SHOT_LOGS=1 shows the end of every log
# of the run when it ends.
build=$(realpath "${1:?usage: $0 BUILD_DIR}")
program=$build/app/kestrelon-chat
docs=$(realpath "$(dirname "$0")/../docs")

if [ "${KC_IN_NETNS:-}" != 1 ]; then
  exec unshare --net env KC_IN_NETNS=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
for tool in Xvfb xdotool import openbox xsetroot; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

export DISPLAY=${KC_SHOT_DISPLAY:-$shot_display} LANG=C.UTF-8 QT_QPA_PLATFORM=xcb
work=$(mktemp -d)
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "${KC_SHOT_LOGS:-}" = 1 ]; then tail -n 20 "$work"/*.log >&2 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/xdesktop.sh"
start_desktop
