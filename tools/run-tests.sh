#!/usr/bin/env bash
# Runs the test suite headless, inside a private network namespace with only
# loopback when the machine allows one, so no test can reach a real network.
set -euo pipefail
build_dir=${1:?usage: run-tests.sh BUILD_DIR [ctest args...]}
shift
export QT_QPA_PLATFORM=offscreen
cd "$build_dir"
if command -v getent >/dev/null 2>&1 && ! getent hosts localhost >/dev/null 2>&1; then
  echo "warning: 'localhost' does not resolve on this machine (no /etc/hosts entry?); tests that look it up will fail" >&2
fi
ctest_cmd=(ctest --output-on-failure "$@")
# The hostile peer suite's summary line (attacks withstood, lines lost) is
# printed after the run, whether or not that suite failed.
summary='grep -ho "hostile peers: .*lost" Testing/Temporary/LastTest*.log 2>/dev/null | tail -n 1 || true'

if [ "${KC_IN_NETNS:-}" != 1 ] && command -v unshare >/dev/null 2>&1 \
   && unshare --net true 2>/dev/null; then
  exec unshare --net env KC_IN_NETNS=1 KC_SUMMARY="$summary" bash -c '
    if command -v ip >/dev/null 2>&1; then ip link set lo up; else ifconfig lo up 2>/dev/null || true; fi
    rc=0; "$@" || rc=$?; eval "$KC_SUMMARY"; exit $rc' bash "${ctest_cmd[@]}"
fi
if [ "${KC_IN_NETNS:-}" != 1 ]; then
  echo "note: no private network namespace here; running the tests on the host's loopback" >&2
fi
rc=0
"${ctest_cmd[@]}" || rc=$?
eval "$summary"
exit $rc
