#!/usr/bin/env bash
# What Wine's MIDI service (winmm over the ALSA sequencer) carries for the
# Windows program: kolva-winmm-probe, through the program's MIDI layer and
# winmm driver, sends System Exclusive blocks to a snd-virmidi port whose raw
# side echoes them back, inside the kernel MIDI VM.
#   scripts/wine-midi-vm.sh [SIZE...]      (after scripts/windows.sh --test)
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(16 256 1024 4096 16384 65536)
if [ "${KOLVA_VM:-}" != 1 ]; then
  # QEMU 7's emulated iretq from user mode reads its stack frame as the
  # kernel would, which SMAP forbids: Wine's system-call return (an iretq)
  # then oopses the guest. An emulated CPU without SMAP runs Wine.
  export KOLVA_VM_CPU="${KOLVA_VM_CPU:-max,-smap}"
  exec scripts/kernel-midi-vm.sh scripts/wine-midi-vm.sh "${sizes[@]}"
fi
qt="$(sed -n 's/^KOLVA_QT_MINGW:PATH=//p' build-windows/CMakeCache.txt)"
# The sockets of a Wine server need a file system of this machine.
mkdir -p /run/kolva-wine && mount -t tmpfs tmpfs /run/kolva-wine
export TMPDIR=/run/kolva-wine
prefix=/run/kolva-wine/prefix
cp -a "${KOLVA_WINEPREFIX:-$HOME/.cache/kolva-windows/wine}" "$prefix"
raw=/dev/snd/midiC0D1
cat <"$raw" >"$raw" &
echo_pid=$!
status=0
KOLVA_QT_MINGW="$qt" KOLVA_WINEPREFIX="$prefix" timeout 600 \
  scripts/wine-run.sh build-windows/tests/windows/kolva-winmm-probe.exe "0-1" "${sizes[@]}" 2>/dev/null || status=$?
kill "$echo_pid" 2>/dev/null || true
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
