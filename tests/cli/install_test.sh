#!/usr/bin/env bash
# What `cmake --install` and the Debian package put where.
# Usage: install_test.sh BUILD_DIR install|package
set -eu
build=$1
what=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected=(
  bin/zentrel-update bin/zentrel-update-cli bin/zentrel-update-sim
  lib/udev/rules.d/70-zentrel-update.rules
  share/applications/io.zentrel.Update.desktop
  share/metainfo/io.zentrel.Update.metainfo.xml
  share/icons/hicolor/32x32/apps/io.zentrel.Update.png
  share/icons/hicolor/scalable/apps/io.zentrel.Update.svg
)
case "$what" in
  install)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    for f in "${expected[@]}"; do [ -f "$work/prefix/$f" ] || { echo "missing $f"; exit 1; }; done
    grep -c 'TAG+="uaccess"' "$work/prefix/lib/udev/rules.d/70-zentrel-update.rules" | grep -qx 3
    if grep -q 'MODE=' "$work/prefix/lib/udev/rules.d/70-zentrel-update.rules"; then echo "rules set a mode"; exit 1; fi
    ;;
  package)
    (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
    deb=$(ls "$work"/out/*.deb)
    dpkg-deb -c "$deb" > "$work/contents"
    for f in "${expected[@]}"; do grep -q " \./usr/$f\$" "$work/contents" || { echo "package lacks /usr/$f"; exit 1; }; done
    dpkg-deb -e "$deb" "$work/control"
    grep -q "udevadm control --reload-rules" "$work/control/postinst"
    dpkg-deb -f "$deb" Depends | grep -q libhidapi
    ;;
esac
echo "ok: $what"
