#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the tools needs.
# Safe to run again; works as root or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  clang libclang-rt-14-dev llvm
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-translations-l10n
  libhidapi-dev libudev-dev libsystemd-dev
  dbus python3-dbusmock
  googletest libgtest-dev libgmock-dev
  fonts-wqy-microhei
  xvfb xauth
  appstream desktop-file-utils
)

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
else
  as_root=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
