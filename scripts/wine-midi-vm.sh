#!/usr/bin/env bash
# What Wine's MIDI service (winmm over the ALSA sequencer) carries for the
# Windows program: kolva-winmm-probe, through the program's MIDI layer and
# winmm driver, sends System Exclusive blocks to a snd-virmidi port whose raw
# side echoes them back, inside the kernel MIDI VM.
# With --update, a whole handshake update by the Windows program's main
# window through winmm to kolva-amp-sim (a Linux build in build/) on the raw
# side of the first virmidi port instead.
#   scripts/wine-midi-vm.sh [SIZE...]      (after scripts/windows.sh --test)
#   scripts/wine-midi-vm.sh --update
set -euo pipefail
cd "$(dirname "$0")/.."
update=0
[ "${1:-}" = --update ] && { update=1; shift; }
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(16 256 1024 4096 16384 65536)
if [ "${KOLVA_VM:-}" != 1 ]; then
  # QEMU 7's emulated iretq from user mode reads its stack frame as the
  # kernel would, which SMAP forbids: Wine's system-call return (an iretq)
  # then oopses the guest. An emulated CPU without SMAP runs Wine.
  export KOLVA_VM_CPU="${KOLVA_VM_CPU:-max,-smap}"
  [ $update = 1 ] && exec scripts/kernel-midi-vm.sh scripts/wine-midi-vm.sh --update
  exec scripts/kernel-midi-vm.sh scripts/wine-midi-vm.sh "${sizes[@]}"
fi
qt="$(sed -n 's/^KOLVA_QT_MINGW:PATH=//p' build-windows/CMakeCache.txt)"
# The sockets of a Wine server need a file system of this machine.
mkdir -p /run/kolva-wine && mount -t tmpfs tmpfs /run/kolva-wine
export TMPDIR=/run/kolva-wine
prefix=/run/kolva-wine/prefix
cp -a "${KOLVA_WINEPREFIX:-$HOME/.cache/kolva-windows/wine}" "$prefix"
status=0
if [ $update = 1 ]; then
  build/sim/kolva-amp-sim --raw /dev/snd/midiC0D0 --version 02.00 >/run/kolva-wine/amp.log 2>&1 &
  amp_pid=$!
  KOLVA_AMP_PORT="VirMIDI 0-0" KOLVA_AMP_FILE=examples/kolva-02.06-packets.syx \
    KOLVA_QT_MINGW="$qt" KOLVA_WINEPREFIX="$prefix" timeout 600 \
    scripts/wine-run.sh build-windows/tests/windows/kolva_winmm_update_test.exe | tee /run/kolva-wine/test.log || true
  # The test's own verdict: Wine 8's process ends in a segmentation fault on
  # its Unix side after a program has used its ALSA MIDI driver (after the
  # verdict is printed), whatever the program did.
  grep -q '^\[  PASSED  \] 1 test' /run/kolva-wine/test.log || status=1
  kill "$amp_pid" 2>/dev/null || true
  echo "kolva-amp-sim said:"
  cat /run/kolva-wine/amp.log
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  exit $status
fi
raw=/dev/snd/midiC0D1
cat <"$raw" >"$raw" &
echo_pid=$!
KOLVA_QT_MINGW="$qt" KOLVA_WINEPREFIX="$prefix" timeout 600 \
  scripts/wine-run.sh build-windows/tests/windows/kolva-winmm-probe.exe "0-1" "${sizes[@]}" 2>/dev/null |
  tee /run/kolva-wine/probe.log || true
# A line per block, each "whole" (the process's own status is lost to the
# fault at its end).
[ "$(grep -c ', whole,' /run/kolva-wine/probe.log)" = ${#sizes[@]} ] || status=1
kill "$echo_pid" 2>/dev/null || true
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
