#!/usr/bin/env bash
# The tests that need a kernel sequencer, run inside the kernel MIDI VM:
#   scripts/kernel-midi-vm.sh scripts/kernel-tests.sh BUILD_DIR
# Every one of them must run there; a skip is a failure.
set -uo pipefail
build="${1:?usage: $0 BUILD_DIR}"
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
usb_env="$("$(dirname "$0")/usb-midi-gadget.sh" up)" || { echo "kernel tests: no USB MIDI gadget" >&2; exit 1; }
usb_raw="$(echo "$usb_env" | sed -n 's/^KOLVA_AMP_RAW=//p')"
KOLVA_USB_RAW="$usb_raw" KOLVA_USB_PORT="Kolva Amp MIDI 1" \
  run "$build/tests/midi_layer/midi_alsa_test" --gtest_filter='AlsaTest.*' --gtest_color=no
updates="$build/tests/kernel/kolva_kernel_update_tests"
# Over snd-virmidi: the whole updates and the other voices on the line.
run "$updates" --gtest_color=no --gtest_filter='-UsbUpdateTest.*'
# Over USB: the whole updates, the cable, a late restart. (A second voice on
# the raw side needs a second substream, which a USB port does not have.)
mapfile -t usb_vars <<<"$usb_env"
run env "${usb_vars[@]}" "$updates" --gtest_color=no \
  --gtest_filter='KernelUpdateTest.*:UsbUpdateTest.*'
exit $status
