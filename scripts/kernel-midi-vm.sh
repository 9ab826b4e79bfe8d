#!/usr/bin/env bash
# Runs a command inside a small QEMU virtual machine that has a real ALSA
# sequencer and four virtual raw MIDI ports, and returns its exit status.
#
#   scripts/kernel-midi-vm.sh COMMAND [ARGS...]
#
# The VM boots Debian's kernel package (unpacked, never installed) with an
# initramfs of busybox and the sound modules, and says which one it booted. This machine's root is shared
# read-write over 9p and the command runs chrooted into it, in the current
# folder, as root: the build folder is at the same path inside and out.
#
# Inside the VM:
#   /dev/shm (a tmpfs, for sockets and shared memory: 9p holds neither),
#   /dev/snd/seq, and kernel clients "Virtual Raw MIDI 0-0" ... "0-3"
#   (port 0 each) with raw devices /dev/snd/midiC0D0 ... midiC0D3;
#   KOLVA_VM=1; KOLVA_VM_MODULES, a folder for `modprobe -d`, so a test can
#   `rmmod snd_virmidi` and `modprobe -d "$KOLVA_VM_MODULES" snd_virmidi` to
#   play a USB device that re-enumerates.
#
# Where QEMU cannot run at all it says so in one line and exits 77.
# Environment: KOLVA_VM_CACHE (kernel and initramfs; default
# ~/.cache/kolva-kernel-vm), KOLVA_VM_TIMEOUT (seconds, default 900).
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

cache="${KOLVA_VM_CACHE:-${HOME:-/root}/.cache/kolva-kernel-vm}"
timeout_s="${KOLVA_VM_TIMEOUT:-900}"
# The USB half: the dummy host controller with two device sides, configfs
# and f_midi for a USB MIDI gadget, gadgetfs for the tests' own slow device,
# and the host's USB MIDI driver with its sequencer bridge.
modules=(virtio_pci 9p 9pnet_virtio snd-seq snd-virmidi snd-seq-dummy
  configfs libcomposite usb_f_midi gadgetfs dummy_hcd snd-usb-audio snd-seq-midi)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

skip() {
  echo "kernel MIDI VM: cannot run here ($1); the kernel tests did not run." >&2
  exit 77
}

need_packages() {
  local missing=()
  for p in qemu-system-x86 busybox-static cpio kmod; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "kernel MIDI VM: installing ${missing[*]}" >&2
  # Another install at work (a second VM starting) is waited for.
  local apt=($sudo apt-get -o DPkg::Lock::Timeout=600)
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >&2 ||
    { "${apt[@]}" update >&2 && DEBIAN_FRONTEND=noninteractive \
      "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >&2; }
}

# The kernel package that linux-image-amd64 points at, unpacked into the cache.
prepare_kernel() {
  local pkg
  pkg="$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')"
  [ -n "$pkg" ] || return 1
  # Pruned to the modules above: another list is another cache.
  local kdir="$cache/$pkg-$(echo "${modules[*]}" | md5sum | cut -c1-8)"
  if [ ! -f "$kdir/ready" ]; then
    echo "kernel MIDI VM: unpacking $pkg" >&2
    rm -rf "$kdir" && mkdir -p "$kdir"
    (cd "$kdir" && apt-get download "$pkg" >/dev/null 2>&1) || return 1
    dpkg -x "$kdir"/*.deb "$kdir/root" && rm -f "$kdir"/*.deb
    local ver
    ver="$(ls "$kdir/root/lib/modules")"
    # Only what the VM loads, so the cache stays small.
    depmod -b "$kdir/root" "$ver"
    local keep m
    keep="$(for m in "${modules[@]}"; do modprobe -d "$kdir/root" -S "$ver" --show-depends "$m"; done |
      awk '$1 == "insmod" {print $2}' | sort -u)"
    find "$kdir/root/lib/modules/$ver/kernel" -name '*.ko*' | sort | comm -23 - <(echo "$keep") | xargs -r rm -f
    rm -rf "$kdir/root/usr"
    depmod -b "$kdir/root" "$ver"
    echo "$ver" >"$kdir/ready"
  fi
  kernel_pkg="$pkg"
  kernel_dir="$kdir/root"
  kernel_ver="$(cat "$kdir/ready")"
  vmlinuz="$kernel_dir/boot/vmlinuz-$kernel_ver"
  [ -f "$vmlinuz" ]
}

prepare_initramfs() {
  initrd="$cache/initramfs-$(basename "$(dirname "$kernel_dir")").cpio.gz"
  [ -f "$initrd" ] && [ "$initrd" -nt "$0" ] && return 0
  local tree
  tree="$(mktemp -d)"
  mkdir -p "$tree"/{bin,proc,sys,dev,host,mods}
  cp "$(command -v busybox)" "$tree/bin/busybox"
  local m line
  : >"$tree/load"
  for m in "${modules[@]}"; do
    while read -r line; do
      set -- $line
      [ "$1" = insmod ] || continue
      cp -n "$2" "$tree/mods/" 2>/dev/null || true
      grep -qx "insmod /mods/$(basename "$2")" "$tree/load" || echo "insmod /mods/$(basename "$2")" >>"$tree/load"
    done < <(modprobe -d "$kernel_dir" -S "$kernel_ver" --show-depends "$m")
  done
  cat >"$tree/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r cmd mod; do
  case "$mod" in */dummy_hcd.ko*) insmod "$mod" num=2 2>/dev/null;; *) insmod "$mod" 2>/dev/null;; esac
done </load
echo "kernel MIDI VM: booted Linux $(uname -r)"
run=""
for a in $(cat /proc/cmdline); do case "$a" in kolva.run=*) run="${a#kolva.run=}";; esac; done
status=1
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /host; then
  # devtmpfs has neither: ptys, and a tmpfs for what cannot live on 9p
  # (sockets, shared memory).
  mkdir -p /dev/pts /dev/shm
  mount --bind /dev /host/dev
  mount --bind /proc /host/proc
  mount --bind /sys /host/sys
  mount -t devpts devpts /host/dev/pts 2>/dev/null
  mount -t tmpfs tmpfs /host/dev/shm 2>/dev/null
  mount -t configfs none /host/sys/kernel/config 2>/dev/null
  # Wait (briefly) for the sequencer and the four raw ports.
  i=0
  while [ $i -lt 50 ] && ! [ -e /dev/snd/seq -a -e /dev/snd/midiC0D3 ]; do sleep 0.1; i=$((i+1)); done
  chroot /host /bin/sh "$run/cmd"
  status=$?
  echo "$status" >"/host$run/status"
  sync
fi
echo "kolva-vm-status=$status"
poweroff -f
EOF
  chmod +x "$tree/init"
  (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
  rm -rf "$tree"
}

command -v apt-get >/dev/null || skip "no apt-get"
need_packages || skip "the QEMU packages could not be installed"
mkdir -p "$cache"
# One VM at a time fills the cache; the others wait for it.
exec 9>"$cache/.lock"
flock 9
prepare_kernel || skip "the kernel package could not be fetched"
prepare_initramfs || skip "the initramfs could not be built"
flock -u 9
exec 9>&-
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 missing"

run="$(mktemp -d /tmp/kolva-vm.XXXXXX)"
trap 'rm -rf "$run"' EXIT
{
  echo "cd $(printf '%q' "$PWD") || exit 1"
  echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  echo "export HOME=$(printf '%q' "${HOME:-/root}") KOLVA_VM=1 KOLVA_VM_MODULES=$(printf '%q' "$kernel_dir")"
  echo "export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8"
  for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
    [ -n "${!v:-}" ] && echo "export $v=$(printf '%q' "${!v}")"
  done
  printf 'exec'
  printf ' %q' "$@"
  echo
} >"$run/cmd"

echo "kernel MIDI VM: booting $kernel_pkg ($kernel_ver) from $(dirname "$kernel_dir")" >&2
accel="tcg"
cpu="max"
if [ -n "${KOLVA_VM_KVM:-}" ] && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  accel="kvm:tcg"
  cpu="qemu64"
fi
# For trying other emulated CPUs and kernel options (Wine's needs, for one).
cpu="${KOLVA_VM_CPU:-$cpu}"

set +e
timeout --foreground -k 10 "$timeout_s" qemu-system-x86_64 \
  -machine "q35,accel=$accel" -cpu "$cpu" -m 2048 -smp "${KOLVA_VM_SMP:-2}" \
  -nographic -no-reboot -nodefaults -serial stdio \
  -kernel "$vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 ${KOLVA_VM_APPEND:-}kolva.run=$run" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,multidevs=remap \
  < /dev/null |
  sed -u -e 's/\r//g' -e 's/\x1bc//g' -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' \
    -e '/^SeaBIOS /d' -e 's/^Booting from ROM\.*//' -e '/reboot: Power down/d' -e '/^kolva-vm-status=/d' -e '/^$/d'
qemu_status=${PIPESTATUS[0]}
set -e

if [ -f "$run/status" ]; then
  exit "$(cat "$run/status")"
fi
[ "$qemu_status" -eq 124 ] && { echo "kernel MIDI VM: timed out after ${timeout_s} s" >&2; exit 124; }
skip "QEMU ended with status $qemu_status before the command ran"
