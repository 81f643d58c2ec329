#!/usr/bin/env bash
# Runs the suite N times, in random order, while every core is kept busy, and
# reports for each test how often it passed and failed. Run by hand: a test
# that waits on the machine's speed or on another test fails here.
#   tools/stress-tests.sh N [BUILD_DIR] [ctest args...]     (BUILD_DIR: build)
# for example `tools/stress-tests.sh 20 build -R 'test_(client|file)'`.
# The load is stress-ng (Debian package, installed when missing), or a busy
# shell loop per core where it cannot be installed. KC_STRESS_JOBS sets
# ctest's -j (default: the number of cores). The output of every failed run
# is kept under BUILD_DIR/stress-logs.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:?usage: stress-tests.sh N [BUILD_DIR] [ctest args...]}
shift
build_dir=build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build_dir=$1
  shift
fi
build_dir=$(cd "$build_dir" && pwd)
cores=$(nproc)
jobs=${KC_STRESS_JOBS:-$cores}

if ! command -v stress-ng >/dev/null 2>&1; then
  sudo=()
  [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1 && sudo=(sudo -n)
  { "${sudo[@]}" apt-get install -y -qq --no-install-recommends stress-ng >/dev/null 2>&1 \
      || { "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 \
           && "${sudo[@]}" apt-get install -y -qq --no-install-recommends stress-ng >/dev/null 2>&1; }; } || true
fi

load_pids=()
stop_load() {
  for pid in "${load_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_load EXIT
if command -v stress-ng >/dev/null 2>&1; then
  echo "load: stress-ng, one CPU worker per core ($cores)"
  stress-ng --cpu "$cores" --timeout 0 --quiet &
  load_pids+=($!)
else
  echo "load: a busy loop per core ($cores; stress-ng could not be installed)"
  for ((i = 0; i < cores; i++)); do
    bash -c 'while :; do :; done' &
    load_pids+=($!)
  done
fi

mkdir -p "$build_dir/stress-logs"
mapfile -t names < <(cd "$build_dir" && ctest -N "$@" | sed -n 's/^ *Test *#[0-9]*: //p')
declare -A failures=()
for name in "${names[@]}"; do failures[$name]=0; done

for ((round = 1; round <= rounds; round++)); do
  rm -f "$build_dir/Testing/Temporary/LastTestsFailed.log"
  if tools/run-tests.sh "$build_dir" -j"$jobs" --schedule-random "$@" >"$build_dir/stress-logs/round-$round.log" 2>&1; then
    rm -f "$build_dir/stress-logs/round-$round.log"
    echo "round $round/$rounds: all passed"
    continue
  fi
  failed=()
  if [ -f "$build_dir/Testing/Temporary/LastTestsFailed.log" ]; then
    while IFS=: read -r _ name; do
      failed+=("$name")
      failures[$name]=$((${failures[$name]:-0} + 1))
    done <"$build_dir/Testing/Temporary/LastTestsFailed.log"
  fi
  echo "round $round/$rounds: failed: ${failed[*]:-(ctest itself; see the log)} (log: $build_dir/stress-logs/round-$round.log)"
done

echo
printf '%-28s %6s %6s\n' test passed failed
total=0
for name in "${names[@]}"; do
  printf '%-28s %6d %6d\n' "$name" $((rounds - failures[$name])) "${failures[$name]}"
  total=$((total + failures[$name]))
done
echo "$rounds rounds, $total failed runs"
[ "$total" -eq 0 ]
