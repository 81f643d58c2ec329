#!/bin/bash
# Prints the include graph of client/ between its units (x.h and x.cpp are
# one unit "x"): one "a -> b" line per edge, then every cycle, and exits 1
# when there is one.
#   tools/include-graph.sh [FOLDER]     (default: client)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-client}

edges=$(for file in "$folder"/*.h "$folder"/*.cpp; do
    from=$(basename "${file%.*}")
    sed -n "s|^[[:space:]]*#[[:space:]]*include[[:space:]]*\"$folder/\([^\"]*\)\.h\".*|\1|p" "$file" |
        while read -r to; do
            [ "$to" != "$from" ] && echo "$from -> $to"
        done
done | sort -u)

echo "$edges"

# tsort names the units of each loop it finds.
loops=$(echo "$edges" | awk '{ print $1, $3 }' | tsort 2>&1 >/dev/null | sed -n 's/^tsort: //p' | grep -v 'input contains a loop' || true)
if [ -z "$loops" ]; then
    echo "cycles: none"
    exit 0
fi
echo "cycle:" $loops
exit 1
