#!/usr/bin/env bash
# Installs the build into a scratch prefix and validates the desktop entry and
# the AppStream metainfo there, as a desktop would find them.
set -euo pipefail
build=$1
for tool in desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (kestrelon.sh installs it)"
    exit 77
  fi
done
stage=$build/dist-check/metadata
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" >/dev/null

desktop=$stage/share/applications/kestrelon-chat.desktop
# Hints count as failures too: the entry is meant to be clean.
complaints=$(desktop-file-validate "$desktop" 2>&1) || true
if [ -n "$complaints" ]; then
  echo "$complaints"
  exit 1
fi
appstreamcli validate --no-net "$stage"/share/metainfo/*.metainfo.xml
