#!/usr/bin/env bash
# Builds the .deb with cpack and checks what is inside: the program, its menu
# entry, icons, metainfo, systemd unit and man page, and dependencies that
# dpkg-shlibdeps found in the binary.
set -euo pipefail
build=$1
. "$(dirname "$0")/tools.sh"
require_tools cpack dpkg-deb dpkg-shlibdeps
out=$build/dist-check/package
rm -rf "$out"
mkdir -p "$out"
if ! (cd "$build" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one .deb in $out, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
status=0
for path in \
  ./usr/bin/kestrelon-chat \
  ./usr/share/applications/kestrelon-chat.desktop \
  ./usr/share/metainfo/example.kestrelon.chat.metainfo.xml \
  ./usr/share/icons/hicolor/scalable/apps/kestrelon-chat.svg \
  ./usr/share/icons/hicolor/16x16/apps/kestrelon-chat.png \
  ./usr/share/icons/hicolor/48x48/apps/kestrelon-chat.png \
  ./usr/share/icons/hicolor/256x256/apps/kestrelon-chat.png \
  ./usr/lib/systemd/system/kestrelon-chat.service \
  ./usr/share/man/man1/kestrelon-chat.1.gz; do
  if ! grep -qxF "$path" <<<"$contents"; then
    echo "missing from $(basename "$deb"): $path"
    status=1
  fi
done

depends=$(dpkg-deb --field "$deb" Depends)
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for library in libc6 libstdc++6 libqt6core6 libqt6network6 libqt6widgets6 libssl3 libsqlite3-0 qt6-translations-l10n; do
  if ! grep -qxF "$library" <<<"$names"; then
    echo "Depends lacks $library: $depends"
    status=1
  fi
done
# ICU's package is named by its version (libicu72 on Debian 12).
if ! grep -qE '^libicu[0-9]+$' <<<"$names"; then
  echo "Depends lacks libicu: $depends"
  status=1
fi

# The unit must start the program where the package puts it, whatever prefix
# the build itself was configured with.
exec_start=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/system/kestrelon-chat.service \
  | grep '^ExecStart=' || true)
if [ "$exec_start" != "ExecStart=/usr/bin/kestrelon-chat --headless --key /var/lib/kestrelon-chat/server.key" ]; then
  echo "unit starts: '$exec_start'"
  status=1
fi
exit $status
