#!/usr/bin/env bash
# Installs the build into a scratch prefix and validates the desktop entry and
# the AppStream metainfo there, as a desktop would find them.
set -euo pipefail
build=$1
. "$(dirname "$0")/tools.sh"
require_tools desktop-file-validate appstreamcli
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
