#!/usr/bin/env bash
# A System Exclusive block (1 MiB unless given) through a kernel port in the
# kernel MIDI VM: whether the raw device got it byte for byte, elapsed time
# against the 31,250-baud wire time, and the process's CPU time.
#   scripts/bench-kernel-midi.sh [BYTES]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_TESTS=ON -DKOLVA_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target kolva-bench-midi
exec scripts/kernel-midi-vm.sh build-bench/tests/midi_layer/kolva-bench-midi --kernel --bytes "${1:-1048576}"
