#!/usr/bin/env bash
# A System Exclusive block (1 MiB unless given) through kernel ports in the
# kernel MIDI VM: to snd-virmidi's "VirMIDI 0-0", to a USB MIDI device at
# full speed and to the tests' own USB MIDI device that takes 3,000 bytes a
# second. For each: whether the device got it byte for byte, elapsed time
# against the device's own time, and the process's CPU time. What comes out
# of a raw device is read by another process, so the figures are the
# sender's alone.
#   scripts/bench-kernel-midi.sh [BYTES] [SLOW_RATE]
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build-bench/tests/midi_layer/kolva-bench-midi
if [ "${1:-}" = --inside ]; then
  bytes="$2" rate="$3"
  capture=/tmp/kolva-bench.syx
  through() {  # RAW PORT: the block to PORT, RAW read by cat
    rm -f "$capture"
    cat "$1" >"$capture" &
    local cat=$!
    "$bench" --kernel --port "$2" --capture "$capture" --bytes "$bytes" || true
    kill $cat 2>/dev/null || true
  }
  echo "== snd-virmidi, VirMIDI 0-0"
  through /dev/snd/midiC0D0 "VirMIDI 0-0"
  env="$(scripts/usb-midi-gadget.sh up)"
  echo "== USB MIDI device at full speed, Kolva Amp MIDI 1"
  through "$(echo "$env" | sed -n 's/^KOLVA_AMP_RAW=//p')" "Kolva Amp MIDI 1"
  echo "== USB MIDI device taking $rate bytes a second, Slow MIDI MIDI 1"
  rm -f "$capture"
  pid="$(KOLVA_SLOW_GADGET=build-bench/tests/kernel/kolva-slow-gadget scripts/usb-midi-gadget.sh slow "$rate" "$capture")"
  "$bench" --kernel --port "Slow MIDI MIDI 1" --capture "$capture" --device-rate "$rate" --bytes "$bytes" || true
  kill "$pid" 2>/dev/null || true
  exit 0
fi
./scripts/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=ON -DKOLVA_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target kolva-bench-midi kolva-slow-gadget
KOLVA_VM_TIMEOUT="${KOLVA_VM_TIMEOUT:-1800}" exec scripts/kernel-midi-vm.sh "$0" --inside "${1:-1048576}" "${2:-3000}"
