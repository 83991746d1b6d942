#!/usr/bin/env bash
# Boots the distribution's own kernel under QEMU and runs the guest tests there, against the
# kernel's HID stack (uhid, hidraw, udev):
#
#   tests/guest/run-guest.sh [--binary TEST_PROGRAM] [-- GTEST_ARGUMENTS...]
#
# Without --binary it installs what the rig needs (scripts/setup-guest.sh), builds
# zentrel_guest_tests in build-guest and runs that. The guest mounts the host's root read-only
# over 9p and runs the test program from there, so it runs unchanged with the host's libraries.
# Exits 0 only when the guest reported that the tests passed.
#
# Environment:
#   ZENTREL_GUEST_BUILD    build folder (default build-guest)
#   ZENTREL_GUEST_JOBS     parallel build jobs (default 2)
#   ZENTREL_GUEST_TIMEOUT  seconds the whole guest run may take (default 900)
#   ZENTREL_GUEST_LOG      where the guest's console output is kept (default BUILD/guest.log)
set -euo pipefail
cd "$(dirname "$0")/../.."

binary=""
gtest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --binary) binary=$(realpath "$2"); shift 2 ;;
    --) shift; gtest_args=("$@"); break ;;
    *) echo "usage: $0 [--binary TEST_PROGRAM] [-- GTEST_ARGUMENTS...]" >&2; exit 2 ;;
  esac
done

build=$(realpath -m "${ZENTREL_GUEST_BUILD:-build-guest}")
jobs=${ZENTREL_GUEST_JOBS:-2}
limit=${ZENTREL_GUEST_TIMEOUT:-900}
log=${ZENTREL_GUEST_LOG:-$build/guest.log}

kernel_root=$(bash scripts/setup-guest.sh "$build/kernel" | tail -n 1)

if [ -z "$binary" ]; then
  echo "== building zentrel_guest_tests in $build =="
  cmake -S . -B "$build" -G Ninja -DZENTREL_WERROR=ON -DZENTREL_WITH_QT=OFF \
    -DZENTREL_WITH_LINUX_HID=ON >/dev/null
  cmake --build "$build" --target zentrel_guest_tests --parallel "$jobs"
  binary=$build/tests/guest/zentrel_guest_tests
fi
[ -x "$binary" ] || { echo "run-guest: no test program at $binary" >&2; exit 1; }

vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* | head -n 1)
version=${vmlinuz##*/vmlinuz-}
moddir=$kernel_root/lib/modules/$version
[ -d "$moddir" ] || { echo "run-guest: no modules for $version" >&2; exit 1; }

# --- The initramfs ---
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
initramfs=$work/root
mkdir -p "$initramfs"/{bin,dev,proc,sys,host,modules}
cp /bin/busybox "$initramfs/bin/busybox"  # the static one, from busybox-static

# Modules by name, "-" and "_" alike, as the kernel names them.
declare -A module_file
while IFS= read -r -d '' f; do
  name=${f##*/}
  name=${name%%.ko*}
  module_file[${name//-/_}]=$f
done < <(find "$moddir/kernel" -name '*.ko*' -print0)

# The dependencies a module declares in its .modinfo section.
module_depends() {
  local f=$1 tmp=$work/modinfo.ko
  case "$f" in
    *.ko.xz) xz -dc "$f" >"$tmp" ;;
    *.ko.zst) zstd -qdc "$f" >"$tmp" ;;
    *) tmp=$f ;;
  esac
  objcopy -O binary --only-section=.modinfo "$tmp" /dev/stdout 2>/dev/null |
    tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '
}

# Appends a module behind everything it depends on, once.
declare -A module_added
load_order=()
add_module() {
  local name=${1//-/_} dep
  [ -n "${module_added[$name]:-}" ] && return 0
  local f=${module_file[$name]:-}
  if [ -z "$f" ]; then
    # Built into this kernel: nothing to load.
    grep -q "/${1}.ko\$\|/${name}.ko\$" "$moddir/modules.builtin" 2>/dev/null && return 0
    echo "run-guest: no module $1 in $version" >&2
    exit 1
  fi
  module_added[$name]=1
  for dep in $(module_depends "$f"); do add_module "$dep"; done
  case "$f" in
    *.ko.xz) xz -dc "$f" >"$initramfs/modules/$name.ko" ;;
    *.ko.zst) zstd -qdc "$f" >"$initramfs/modules/$name.ko" ;;
    *) cp "$f" "$initramfs/modules/$name.ko" ;;
  esac
  load_order+=("$name")
}
# The 9p share on virtio-pci, then the HID stack: hidraw is part of hid itself in this kernel.
for m in virtio_pci 9pnet_virtio 9p hid uhid hid-generic; do add_module "$m"; done
printf '%s\n' "${load_order[@]}" >"$initramfs/modules/order"

# What the guest runs: the test program and its arguments, one a line.
printf '%s\n' "$binary" "${gtest_args[@]}" >"$initramfs/test-command"

cat >"$initramfs/init" <<'EOF'
#!/bin/busybox sh
# The guest's first and only process: prepares the machine, runs the tests from the host's
# root, prints the markers the host judges by, and powers off.
/bin/busybox --install -s /bin
export PATH=/bin

finish() {
  echo "GUEST-TESTS-RESULT rc=$1"
  poweroff -f
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do
  insmod "/modules/$m.ko" || { echo "GUEST-ERROR cannot load $m"; finish 90; }
done

# The host's root, read-only; the test program and its libraries come from there unchanged.
mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /host ||
  { echo "GUEST-ERROR cannot mount the host's root"; finish 91; }
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
# The host's /tmp stays visible (the tests may have been built there); what the guest writes
# goes to a tmpfs of its own under /run.
mount -t tmpfs run /host/run
mkdir -p /host/run/udev /host/run/tmp

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# The host's root is this machine's root for all purposes here: without this, udevadm
# notices the chroot and ignores "settle".
export SYSTEMD_IGNORE_CHROOT=1
# The monitor's "udev" source hears only what udevd passed on; the "kernel" source works
# without it.
udevd=""
for candidate in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
  # Looked up inside the host's root: the program may be a link with an absolute target.
  chroot /host test -x "$candidate" && { udevd=$candidate; break; }
done
if [ -n "$udevd" ]; then
  chroot /host "$udevd" --daemon --resolve-names=never ||
    echo "GUEST-WARNING systemd-udevd did not start"
else
  echo "GUEST-WARNING no systemd-udevd on the host; the udev source stays silent"
fi

set --
while IFS= read -r line; do set -- "$@" "$line"; done </test-command
echo "GUEST-TESTS-BEGIN $(uname -r)"
chroot /host /usr/bin/env ZENTREL_GUEST=1 GTEST_COLOR=no HOME=/run/tmp TMPDIR=/run/tmp "$@"
finish $?
EOF
chmod +x "$initramfs/init"
(cd "$initramfs" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"

# --- The boot ---
# Always TCG: this machine's KVM is a nested paravirtual one on which QEMU either aborts or
# hangs, and an emulated boot of a few seconds costs less than a hang until the time-out.
# qboot starts a -kernel boot sooner than the default firmware and writes nothing to the
# console; QEMU's data package ships it.
firmware=()
for rom in /usr/share/qemu/qboot.rom /usr/share/qemu-system-x86/qboot.rom; do
  [ -f "$rom" ] && { firmware=(-bios "$rom"); break; }
done
echo "== booting $version under QEMU (TCG), tests: $binary =="
mkdir -p "$(dirname "$log")"
# Seconds since $start, one decimal.
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
start=$(date +%s.%N)
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -accel tcg -m 1024 -smp 1 -nographic -no-reboot -nodefaults -serial stdio \
  "${firmware[@]}" -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append 'console=ttyS0 quiet loglevel=3 panic=-1 udev.log_level=err' \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  </dev/null 2>&1 | while IFS= read -r line; do
    line=${line//$'\r'/}
    case "$line" in
      GUEST-TESTS-BEGIN*)
        printf '%s\n' "$line"
        echo "GUEST-BOOT-TIME $(seconds_since "$start") s"
        ;;
      *) printf '%s\n' "$line" ;;
    esac
  done | tee "$log"
qemu_status=${PIPESTATUS[0]}
set -e
total=$(seconds_since "$start")

result=$(sed -n 's/^.*GUEST-TESTS-RESULT rc=\([0-9][0-9]*\).*$/\1/p' "$log" | tail -n 1)
if [ -z "$result" ]; then
  if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    echo "run-guest: the guest did not finish within $limit s (total $total s)" >&2
  else
    echo "run-guest: the guest ended without a result (QEMU status $qemu_status)" >&2
  fi
  exit 1
fi
# gtest's own summary as one plain line, so that a log's reader can count the guest's tests.
count() { sed -n "s/^\[  $1 *\] \([0-9][0-9]*\) tests\{0,1\}[.,].*\$/\1/p" "$log" | tail -n 1; }
passed=$(count PASSED)
failed=$(count FAILED)
skipped=$(count SKIPPED)
echo "run-guest: guest tests rc=$result, boot and tests $total s"
echo "guest: ${passed:-0} passed, ${failed:-0} failed${skipped:+, $skipped skipped}"
[ "$result" = 0 ]
