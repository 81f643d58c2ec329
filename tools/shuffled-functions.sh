#!/usr/bin/env bash
# Runs every test program that has windows (it links Qt Widgets) once more,
# with its test functions in a shuffled order: QtTest runs the functions named
# on its command line in the order named, so a function that passes only
# after another fails here. Headless, in a private network namespace with
# only loopback when the machine allows one, as tools/run-tests.sh runs ctest.
#   tools/shuffled-functions.sh BUILD_DIR [NAME_REGEX]
# The seed is printed; KC_SHUFFLE_SEED=N repeats an order, and
# KC_SHUFFLE_ORDER=reverse runs the functions last to first instead.
set -euo pipefail
build_dir=${1:?usage: shuffled-functions.sh BUILD_DIR [NAME_REGEX]}
regex=${2:-.}
build_dir=$(cd "$build_dir" && pwd)
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false'

if [ "${KC_IN_NETNS:-}" != 1 ] && command -v unshare >/dev/null 2>&1 && unshare --net true 2>/dev/null; then
  exec unshare --net env KC_IN_NETNS=1 bash -c '
    if command -v ip >/dev/null 2>&1; then ip link set lo up; else ifconfig lo up 2>/dev/null || true; fi
    exec "$@"' bash "$0" "$@"
fi
[ "${KC_IN_NETNS:-}" != 1 ] && echo "note: no private network namespace here; running on the host's loopback" >&2

seed=${KC_SHUFFLE_SEED:-$RANDOM$RANDOM}
order=${KC_SHUFFLE_ORDER:-shuffle}
echo "function order: $order, seed $seed (KC_SHUFFLE_SEED=$seed KC_SHUFFLE_ORDER=$order repeats it)"

# Shuffles the array `functions` in place (Fisher-Yates on bash's RANDOM,
# which the seed makes repeatable).
shuffle_functions() {
  local i j t
  for ((i = ${#functions[@]} - 1; i > 0; i--)); do
    j=$((RANDOM % (i + 1)))
    t=${functions[i]}; functions[i]=${functions[j]}; functions[j]=$t
  done
}

failed=()
ran=0
while read -r name exe; do
  [[ "$name" =~ $regex ]] || continue
  libraries=$(ldd "$exe" 2>/dev/null || true)
  [[ "$libraries" == *libQt6Widgets* ]] || continue
  mapfile -t functions < <("$exe" -functions </dev/null 2>/dev/null | sed -n 's/()$//p')
  [ ${#functions[@]} -gt 1 ] || continue
  if [ "$order" = reverse ]; then
    mapfile -t functions < <(printf '%s\n' "${functions[@]}" | tac)
  else
    RANDOM=$(((seed + $(printf %s "$name" | cksum | cut -d' ' -f1)) % 32768))
    shuffle_functions
  fi
  ran=$((ran + 1))
  echo "== $name: ${functions[*]}"
  if ! (cd "$(dirname "$exe")" && timeout 600 "$exe" "${functions[@]}" </dev/null >"$build_dir/shuffled-$name.log" 2>&1); then
    failed+=("$name")
    grep -E '^(FAIL!|XPASS|QFATAL|QWARN.*Caught)|Loc: ' "$build_dir/shuffled-$name.log" | head -20 || true
    echo "   (whole output: $build_dir/shuffled-$name.log)"
  fi
done < <(cd "$build_dir" && ctest -N -V 2>/dev/null | awk '
  / Test command: \// { exe = $NF }
  /^ *Test +#[0-9]+: / { if (exe != "") print $NF, exe; exe = "" }')

echo "$ran programs run with shuffled functions, ${#failed[@]} failed${failed[*]:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
