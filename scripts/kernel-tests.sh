#!/usr/bin/env bash
# The tests that need a kernel sequencer, run inside the kernel MIDI VM:
#   scripts/kernel-midi-vm.sh scripts/kernel-tests.sh BUILD_DIR
#   scripts/kernel-midi-vm.sh scripts/kernel-tests.sh BUILD_DIR --stacks [STACK...]
# The second form runs the whole updates over the USB amplifier and the slow
# USB device under each of the desktop's MIDI stacks (scripts/sound-servers.sh;
# all of them unless named). Every test must run there; a skip is a failure.
set -uo pipefail
build="${1:?usage: $0 BUILD_DIR [--stacks [STACK...]]}"
here="$(cd "$(dirname "$0")" && pwd)"
status=0
run() {
  echo "== $*"
  local out
  out="$("$@" 2>&1)"
  local rc=$?
  echo "$out" | grep -vE '^\s*$'
  if [ $rc -ne 0 ]; then
    status=1
  elif echo "$out" | grep -q '\[  SKIPPED \]'; then
    echo "kernel tests: a test skipped inside the VM" >&2
    status=1
  fi
}
# The amplifier as a USB MIDI device beside snd-virmidi.
usb_env="$("$here/usb-midi-gadget.sh" up)" || { echo "kernel tests: no USB MIDI gadget" >&2; exit 1; }
usb_raw="$(echo "$usb_env" | sed -n 's/^KOLVA_AMP_RAW=//p')"
mapfile -t usb_vars <<<"$usb_env"
alsa="$build/tests/midi_layer/midi_alsa_test"
updates="$build/tests/kernel/kolva_kernel_update_tests"

if [ "${2:-}" = --stacks ]; then
  shift 2
  stacks=("$@")
  [ ${#stacks[@]} -gt 0 ] || stacks=(pipewire-idle pipewire-woken pipewire-woken-later a2jmidid jackd-raw)
  for stack in "${stacks[@]}"; do
    echo "== the desktop's MIDI stack: $stack"
    start=$SECONDS
    "$here/sound-servers.sh" "$stack" || { status=1; "$here/sound-servers.sh" stop; continue; }
    stack_env=(KOLVA_SOUND_STACK="$stack" KOLVA_SOUND_SERVERS="$here/sound-servers.sh")
    run env "${stack_env[@]}" "$alsa" --gtest_color=no --gtest_filter='AlsaTest.ASlowUsbDevice*'
    run env "${usb_vars[@]}" "${stack_env[@]}" "$updates" --gtest_color=no \
      --gtest_filter='KernelUpdateTest.HandshakeUpdate*:KernelUpdateTest.OldFirmware*:KernelUpdateTest.SingleMessage*'
    # The sound server still reaches the amplifier (the ports it came back as).
    "$here/sound-servers.sh" bridged "Kolva Amp MIDI 1" ||
      { echo "kernel tests: after the updates, $stack no longer reaches the amplifier" >&2; status=1; }
    "$here/sound-servers.sh" stop
    echo "== $stack: $((SECONDS - start)) s"
  done
  exit $status
fi

KOLVA_USB_RAW="$usb_raw" KOLVA_USB_PORT="Kolva Amp MIDI 1" \
  run "$alsa" --gtest_filter='AlsaTest.*' --gtest_color=no
# Over snd-virmidi: the whole updates and the other voices on the line.
run "$updates" --gtest_color=no --gtest_filter='-UsbUpdateTest.*'
# Over USB: the whole updates, the cable, a late restart. (A second voice on
# the raw side needs a second substream, which a USB port does not have.)
run env "${usb_vars[@]}" "$updates" --gtest_color=no \
  --gtest_filter='KernelUpdateTest.*:UsbUpdateTest.*'
exit $status
