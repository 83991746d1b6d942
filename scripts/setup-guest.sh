#!/usr/bin/env bash
# Installs what the guest test rig needs and unpacks the distribution's kernel for it:
#   scripts/setup-guest.sh [KERNEL_DIR]
# QEMU, a static busybox for the initramfs, udev (systemd-udevd runs in the guest from the
# shared root) and cpio are installed as packages. The kernel package is only downloaded and
# unpacked into KERNEL_DIR (default build-guest/kernel): installing it would change the host's
# boot set-up, and the guest needs nothing but its image and modules.
# Safe to run again; works as root or through sudo. Prints the unpacked tree's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
kernel_dir=$(realpath -m "${1:-build-guest/kernel}")

packages=(qemu-system-x86 busybox-static udev cpio)

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
else
  as_root=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
updated=0
apt_update() {
  if [ "$updated" = 0 ]; then
    "${as_root[@]}" apt-get update -qq
    updated=1
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The image package that the distribution's kernel meta-package currently points at.
image_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}
package=$(image_package)
if [ -z "$package" ]; then
  apt_update
  package=$(image_package)
fi
if [ -z "$package" ]; then
  echo "setup-guest: no kernel image package found behind linux-image-amd64" >&2
  exit 1
fi

stamp="$kernel_dir/.package"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$package" ]; then
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir/deb"
  # apt-get download writes into the current directory. It runs unprivileged when possible;
  # as root the download sandbox user cannot write a root-owned folder, hence the mode.
  chmod 777 "$kernel_dir/deb"
  if ! (cd "$kernel_dir/deb" && apt-get download -qq "$package"); then
    apt_update
    (cd "$kernel_dir/deb" && apt-get download -qq "$package")
  fi
  dpkg-deb -x "$kernel_dir"/deb/"$package"_*.deb "$kernel_dir/root"
  rm -rf "$kernel_dir/deb"
  echo "$package" >"$stamp"
fi
echo "$kernel_dir/root"
