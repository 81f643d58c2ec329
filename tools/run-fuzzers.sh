#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one for a
# bounded time on a copy of its checked-in seed corpus. Exits non-zero when a
# target finds an input that breaks one of its invariants (the input is kept
# in the work directory as crash-*, leak-* or timeout-*).
#   tools/run-fuzzers.sh [SECONDS_PER_TARGET] [TARGET...]
# KC_FUZZ_BUILD_DIR (default build-fuzz) and KC_FUZZ_CXX (default clang++-16)
# choose the build; KC_FUZZ_RUNS caps the executions per target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build_dir=${KC_FUZZ_BUILD_DIR:-build-fuzz}
runs=${KC_FUZZ_RUNS:--1}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_chatcommand fuzz_clientcore fuzz_serverdispatch fuzz_streamwire fuzz_strtoint fuzz_searchrange fuzz_irc)

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKC_FUZZ=ON \
  -DCMAKE_CXX_COMPILER="${KC_FUZZ_CXX:-clang++-16}" "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target kc_fuzzers

bin_dir=$(cd "$build_dir/fuzz" && pwd)
failed=()
for target in "${targets[@]}"; do
  work="$build_dir/fuzz-work/$target"
  mkdir -p "$work/corpus"
  cp -n fuzz/corpus/"$target"/* "$work/corpus/" 2>/dev/null || true
  max_len=4096
  # A dispatcher input is a whole session; longer ones only repeat broadcasts.
  [ "$target" = fuzz_serverdispatch ] && max_len=600
  echo "== $target: ${seconds}s"
  if ! (cd "$work" && "$bin_dir/$target" -max_total_time="$seconds" -runs="$runs" \
          -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 corpus) >"$work/log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$work/log"
  fi
  grep -E '^(#[0-9]+\s+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log" || true
  echo "corpus: $(ls "$work/corpus" | wc -l) inputs"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
